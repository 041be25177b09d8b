#!/usr/bin/env python3
"""What hostile clients that never read cost the server: memory per client.

    python3 bench/bench_hostile.py --server build/bin/NorbitFtpServerSSL --clients 500

Starts the program headless on loopback (its log drained to /dev/null), measures its
proportional set size, then logs in N clients that each send "CWD <long name>" over and over
and never read a byte. Once the server has stopped taking their input (every socket is full
both ways), it measures again and prints the cost per client. Then, with the flooders still
there, it checks that a fresh session is answered. Not a test: it runs for a minute or so.
"""
import argparse
import os
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import time

USER = "NorbitTester"
PASSWORD = "mivoraplexan"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pss_kib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


def recv_reply(sock, code):
    data = b""
    while not data.endswith(b"\r\n") or not data.split(b"\r\n")[-2].startswith(code):
        chunk = sock.recv(4096)
        if not chunk:
            raise RuntimeError("closed: " + data.decode(errors="replace"))
        data += chunk
    return data


def login(port, rcvbuf):
    sock = socket.socket()
    # A small receive buffer: the server's replies pile up on its side, not in our kernel.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.connect(("127.0.0.1", port))
    sock.settimeout(30)
    recv_reply(sock, b"220 ")
    sock.sendall(f"USER {USER}\r\n".encode())
    recv_reply(sock, b"331 ")
    sock.sendall(f"PASS {PASSWORD}\r\n".encode())
    recv_reply(sock, b"230 ")
    sock.setblocking(False)
    return sock


def flood(socks, line, settle):
    """Sends line to every socket until none has taken a byte for `settle` seconds."""
    quiet_since = time.monotonic()
    sent = 0
    pending = {s: memoryview(line) for s in socks}
    while time.monotonic() - quiet_since < settle:
        progress = False
        for s in socks:
            try:
                n = s.send(pending[s])
            except BlockingIOError:
                continue
            except OSError:
                continue
            if n:
                progress = True
                sent += n
                rest = pending[s][n:]
                pending[s] = rest if len(rest) else memoryview(line)
        if progress:
            quiet_since = time.monotonic()
        else:
            time.sleep(0.05)
    return sent


def fresh_session(port):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        recv_reply(s, b"220 ")
        s.sendall(f"USER {USER}\r\n".encode())
        recv_reply(s, b"331 ")
        s.sendall(f"PASS {PASSWORD}\r\nPWD\r\n".encode())
        recv_reply(s, b"257 ")
    return time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--clients", type=int, default=500)
    parser.add_argument("--name-bytes", type=int, default=8000)
    parser.add_argument("--rcvbuf", type=int, default=4096)
    parser.add_argument("--settle", type=float, default=3.0)
    args = parser.parse_args()

    port = free_port()
    with tempfile.TemporaryDirectory() as root:
        env = dict(os.environ, NORBIT_KEYS_DIR=os.path.join(root, "keys"))
        proc = subprocess.Popen([args.server, "--headless", "--port", str(port), "--root",
                                 os.path.join(root, "ftp"), "--tls", "none"],
                                stdout=subprocess.DEVNULL, env=env)
        try:
            deadline = time.monotonic() + 20
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.1)
            time.sleep(0.5)
            before = pss_kib(proc.pid)
            socks = [login(port, args.rcvbuf) for _ in range(args.clients)]
            idle = pss_kib(proc.pid)
            line = ("CWD " + "d" * args.name_bytes + "\r\n").encode()
            sent = flood(socks, line, args.settle)
            flooded = pss_kib(proc.pid)
            alive = 0
            for s in socks:
                try:
                    alive += s.recv(1, socket.MSG_PEEK) != b""
                except BlockingIOError:
                    alive += 1
                except OSError:
                    pass
            fresh = fresh_session(port)
            n = args.clients
            print(f"clients                      {n}")
            print(f"line                         CWD + {args.name_bytes} bytes")
            print(f"bytes sent by the flooders   {sent}")
            print(f"flooders still connected     {alive}")
            print(f"PSS before                   {before} KiB")
            print(f"PSS with {n} idle sessions   {idle} KiB ({(idle - before) / n:.1f} KiB each)")
            print(f"PSS with {n} flooders        {flooded} KiB ({(flooded - before) / n:.1f} KiB each)")
            print(f"fresh session meanwhile      {fresh * 1000:.0f} ms")
            for s in socks:
                s.close()
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main())
