#!/usr/bin/env python3
"""Fresh sessions and ABOR while the server is loaded with clients that wait: slow downloads,
passive transfers whose data connection never comes, and failing logins. Runs our server and,
where installed, vsftpd with the same load and prints one table.

    python3 bench/bench_starvation.py --server build-bench/bin/NorbitFtpServerSSL \
        [--slow 500] [--waits 200] [--logins 200] [--seconds 20] [--no-vsftpd]

The load, held for the whole measurement:
- slow downloads: RETR of a large file whose data connection reads 4 KiB every half second;
- idle data waits: PASV + LIST, and the data connection is never opened;
- failing logins: USER + PASS with a wrong password, again and again (once a second per client,
  or as fast as the server answers when it delays failures), from another loopback address
  (--guess-from, 127.0.0.2), as guessers come from elsewhere than the sessions measured.
Meanwhile, one after the other: fresh sessions (connect, greeting, USER/PASS, PWD, PASV + LIST,
QUIT), timed whole, and ABOR on a transfer whose client stopped reading (time to the 226).
Threads and memory (PSS, shared pages counted once) are those of the server's processes.

Needs root for vsftpd (it drops to the ftp user for anonymous sessions): apt-get install
vsftpd. vsftpd serves anonymously only, so its failing logins are refused user names.
"""
import argparse
import asyncio
import os
import resource
import shutil
import socket
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_vsftpd import descendants, pss_kib, start_ours, start_vsftpd  # noqa: E402

BIG = 1 << 30  # sparse; large enough that no slow download ends during the run
TIMEOUT = 120  # seconds: a bound for any single reply, so a stalled server still finishes
ABORT_LIMIT = 5  # seconds an ABOR may take before it counts as unanswered (inf in the table)


class Session:
    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer

    @classmethod
    async def open(cls, port, source=None):
        reader, writer = await asyncio.open_connection(
            "127.0.0.1", port, local_addr=(source, 0) if source else None)
        return cls(reader, writer)

    async def reply(self):
        line = await asyncio.wait_for(self.reader.readline(), TIMEOUT)
        if not line:
            raise EOFError("closed")
        text = line.decode("latin-1").rstrip("\r\n")
        if len(text) > 3 and text[3] == "-":
            while True:
                more = (await asyncio.wait_for(self.reader.readline(), TIMEOUT)).decode("latin-1")
                if not more or (more[:3] == text[:3] and more[3:4] == " "):
                    break
        return text

    async def cmd(self, text):
        self.writer.write((text + "\r\n").encode("latin-1"))
        return await self.reply()

    async def login(self, user, password):
        await self.reply()
        await self.cmd("USER " + user)
        return await self.cmd("PASS " + password)

    async def pasv(self):
        r = await self.cmd("PASV")
        n = r[r.index("(") + 1:r.index(")")].split(",")
        return int(n[4]) * 256 + int(n[5])

    def close(self):
        self.writer.close()


async def open_data(port, rcvbuf=None):
    sock = socket.socket()
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.setblocking(False)
    await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", port))
    return sock


async def slow_download(t, stop, held):
    s = await Session.open(t.port)
    await s.login(t.user, t.password)
    await s.cmd("TYPE I")
    data = await open_data(await s.pasv(), rcvbuf=4096)
    await s.cmd("RETR big.bin")
    held.append((s, data))
    loop = asyncio.get_running_loop()
    while not stop.is_set():
        try:
            if not await loop.sock_recv(data, 4096):
                return
        except OSError:
            return
        try:
            await asyncio.wait_for(stop.wait(), 0.5)
        except asyncio.TimeoutError:
            pass


async def idle_wait(t, held):
    s = await Session.open(t.port)
    await s.login(t.user, t.password)
    await s.pasv()
    s.writer.write(b"LIST\r\n")
    held.append((s, None))


async def failing_logins(t, stop, counter, source):
    s = None
    while not stop.is_set():
        try:
            if s is None:
                s = await Session.open(t.port, source)
                await s.reply()
            started = time.monotonic()
            await s.cmd("USER nosuchuser")
            await s.cmd("PASS wrong")
            counter[0] += 1
            left = 1.0 - (time.monotonic() - started)
            if left > 0:
                try:
                    await asyncio.wait_for(stop.wait(), left)
                except asyncio.TimeoutError:
                    pass
        except (OSError, EOFError, asyncio.TimeoutError):
            if s is not None:
                s.close()
            s = None
            await asyncio.sleep(0.2)
    if s is not None:
        s.close()


async def fresh_session(t):
    started = time.monotonic()
    s = await Session.open(t.port)
    await s.login(t.user, t.password)
    await s.cmd("PWD")
    data = await open_data(await s.pasv())
    await s.cmd("LIST")
    loop = asyncio.get_running_loop()
    while await loop.sock_recv(data, 65536):
        pass
    data.close()
    await s.reply()
    await s.cmd("QUIT")
    s.close()
    return (time.monotonic() - started) * 1000


async def abort_transfer(t):
    s = await Session.open(t.port)
    await s.login(t.user, t.password)
    await s.cmd("TYPE I")
    data = await open_data(await s.pasv(), rcvbuf=4096)
    await s.cmd("RETR big.bin")
    await asyncio.sleep(0.3)  # the server's sends fill the buffers and block
    started = time.monotonic()
    s.writer.write(b"ABOR\r\n")

    async def until_226():
        while not (await s.reply()).startswith("226"):
            pass

    try:
        await asyncio.wait_for(until_226(), ABORT_LIMIT)
        elapsed = (time.monotonic() - started) * 1000
    except asyncio.TimeoutError:
        elapsed = float("inf")  # a server that sees ABOR only as urgent data (vsftpd)
    data.close()
    s.close()
    return elapsed


def threads_of(pids):
    total = 0
    for pid in pids:
        try:
            total += len(os.listdir(f"/proc/{pid}/task"))
        except OSError:
            pass
    return total


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


async def measure(t, args):
    stop = asyncio.Event()
    held, tasks, logins = [], [], [0]
    setup_started = time.monotonic()
    # Opened in bursts: a backlog of hundreds of simultaneous connects is a different test.
    for i in range(args.slow):
        tasks.append(asyncio.create_task(slow_download(t, stop, held)))
        if i % 50 == 49:
            await asyncio.sleep(0.2)
    for i in range(args.waits):
        tasks.append(asyncio.create_task(idle_wait(t, held)))
        if i % 50 == 49:
            await asyncio.sleep(0.2)
    for _ in range(args.logins):
        tasks.append(asyncio.create_task(failing_logins(t, stop, logins, args.guess_from)))
    deadline = time.monotonic() + TIMEOUT
    while len(held) < args.slow + args.waits and time.monotonic() < deadline:
        await asyncio.sleep(0.2)
    setup = time.monotonic() - setup_started
    await asyncio.sleep(1)

    fresh, aborts = [], []
    logins_before = logins[0]
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        fresh.append(await fresh_session(t))
        if len(fresh) % 10 == 0:
            aborts.append(await abort_transfer(t))
    pids = descendants(t.proc.pid)
    result = {
        "load held (slow + waits)": len(held),
        "setting up the load (s)": setup,
        "fresh sessions measured": len(fresh),
        "fresh session p50 (ms)": statistics.median(fresh),
        "fresh session p99 (ms)": percentile(fresh, 99),
        "ABOR to 226 p50 (ms)": statistics.median(aborts) if aborts else float("nan"),
        "ABOR to 226 max (ms)": max(aborts) if aborts else float("nan"),
        "failed logins answered/s": (logins[0] - logins_before) / args.seconds,
        "threads": threads_of(pids),
        "memory PSS (MiB)": pss_kib(pids) / 1024,
    }
    stop.set()
    for s, data in held:
        s.close()
        if data is not None:
            data.close()
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--slow", type=int, default=500)
    ap.add_argument("--waits", type=int, default=200)
    ap.add_argument("--logins", type=int, default=200)
    ap.add_argument("--seconds", type=float, default=20)
    # The guessers' own address: a server that answers a guessing address in turns (ours) would
    # otherwise hold the measured sessions' logins from that address in the same turns.
    ap.add_argument("--guess-from", default="127.0.0.2")
    ap.add_argument("--no-vsftpd", action="store_true")
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 65536), hard))

    scratch = tempfile.mkdtemp(prefix="nbbench-starve-")
    root = os.path.join(scratch, "root")
    os.makedirs(os.path.join(root, "up"))
    os.chmod(scratch, 0o755)
    os.chmod(root, 0o755)
    with open(os.path.join(root, "big.bin"), "wb") as f:
        f.truncate(BIG)
    for i in range(20):
        open(os.path.join(root, f"file{i:02d}.txt"), "w").close()

    starts = [("ours", lambda: start_ours(args.server, root, scratch, False))]
    if not args.no_vsftpd and shutil.which("vsftpd"):
        starts.append(("vsftpd", lambda: start_vsftpd(root, scratch, False)))
    results = {}
    try:
        for name, start in starts:
            t = start()
            try:
                results[name] = asyncio.run(measure(t, args))
            finally:
                t.stop()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    names = list(results)
    print(f"load: {args.slow} slow downloads, {args.waits} idle data waits, "
          f"{args.logins} failing-login clients; {args.seconds:g} s of fresh sessions")
    print(f"{'metric':28}" + "".join(f"{n:>12}" for n in names))
    for key in results[names[0]]:
        print(f"{key:28}" + "".join(f"{results[n][key]:12.4g}" for n in names))


if __name__ == "__main__":
    main()
