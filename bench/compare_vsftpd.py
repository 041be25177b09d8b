#!/usr/bin/env python3
"""Runs our server and vsftpd side by side on loopback and prints one table with both.

    python3 bench/compare_vsftpd.py --server build-bench/bin/NorbitFtpServerSSL \
        --load build-bench/bin/bench_ftpload [--rows big|small|perf|all] [--tls]

--rows small runs only the many-small-files rows (bench/smallfiles.py); --tls adds their TLS
variant (explicit TLS with protected data connections on both servers). --rows tls runs only
the TLS rows (bench/tlsrows.py: transfers, handshakes, idle sessions, small files) and
OpenSSL's own stream beside them. --rows perf runs only the plain rows of the performance goals
(bench/perfrows.py). --rows goals prints the one table of every performance goal, plain and TLS,
with ours, vsftpd, their ratio, the goal and whether it is met (bench/goalrows.py); --repeat N
keeps each side's best of N alternating rounds, --markdown prints it for the README.

Needs root (vsftpd drops to the ftp user for anonymous sessions) and Debian's vsftpd package
(apt-get install vsftpd). Both servers get the same scratch files and the same load client;
vsftpd serves them anonymously, ours with the preset account.
"""
import argparse
import os
import pwd
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import goalrows
import perfrows
from procstat import descendants, pss_kib
import smallfiles
import tlsrows

GIB = 1024 * 1024 * 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"nothing listens on {port}")


class Target:
    def __init__(self, name, proc, port, user, password, up_dir):
        self.name, self.proc, self.port = name, proc, port
        self.user, self.password, self.up_dir = user, password, up_dir

    def load(self, tool, mode, *args, check=True, tls=False):
        """One run of the load client; tls: explicit TLS with protected data connections."""
        r = subprocess.run([tool, *(["--tls", "explicit"] if tls else []), mode, "127.0.0.1",
                            str(self.port), self.user, self.password, *map(str, args)],
                           capture_output=True, text=True, timeout=900)
        if check and r.returncode != 0:
            what = f"{self.name} {'TLS ' if tls else ''}{mode}"
            raise RuntimeError(f"{what}: {r.stderr.strip() or r.stdout.strip()}")
        return r.stdout.split()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def start_ours(server, root, scratch, tls, extra=()):
    port = free_port()
    env = dict(os.environ, NORBIT_KEYS_DIR=os.path.join(scratch, "keys"))
    proc = subprocess.Popen([server, "--headless", "--port", str(port), "--root", root,
                             "--tls", "allow-explicit" if tls else "none", *extra],
                            stdout=subprocess.DEVNULL, env=env)
    wait_port(port)
    return Target("ours", proc, port, "NorbitTester", "mivoraplexan", "up")


def vsftpd_tls_lines(scratch):
    """TLS for vsftpd as most sites run it: optional, TLS 1.2, and (unlike its default) no
    demand that data connections resume the control session, which ftplib cannot do. The
    cipher is the one our server negotiates, so both do the same work per byte."""
    cert = os.path.join(scratch, "vsftpd.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-keyout", cert, "-out", cert],
                       check=True, capture_output=True)
    return f"""ssl_enable=YES
allow_anon_ssl=YES
force_local_data_ssl=NO
force_local_logins_ssl=NO
force_anon_data_ssl=NO
force_anon_logins_ssl=NO
require_ssl_reuse=NO
ssl_ciphers=ECDHE-RSA-AES256-GCM-SHA384
ssl_tlsv1=NO
ssl_sslv2=NO
ssl_sslv3=NO
rsa_cert_file={cert}
rsa_private_key_file={cert}
"""


def start_vsftpd(root, scratch, tls):
    port = free_port()
    conf = os.path.join(scratch, "vsftpd.conf")
    os.makedirs("/var/run/vsftpd/empty", exist_ok=True)
    with open(conf, "w") as f:
        f.write(f"""listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
anonymous_enable=YES
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_root={root}
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=NO
dirmessage_enable=NO
max_clients=0
max_per_ip=0
vsftpd_log_file=/dev/null
secure_chroot_dir=/var/run/vsftpd/empty
""" + (vsftpd_tls_lines(scratch) if tls else ""))
    proc = subprocess.Popen(["vsftpd", conf], stdout=subprocess.DEVNULL)
    wait_port(port)
    return Target("vsftpd", proc, port, "anonymous", "bench@example.org", "up")


def measure(t, tool, root, rows, tls, variant, transfers_only=False, sessions_only=False):
    res = {}
    if rows == "tls":
        return tlsrows.measure(t, tool, root, pss_kib, descendants, transfers_only,
                               sessions_only)
    if rows == "perf":
        return perfrows.measure(t, tool, root, variant)
    if rows in ("small", "all"):
        res.update(smallfiles.measure(t, root, tls=False))
        if tls:
            res.update(smallfiles.measure(t, root, tls=True))
    if rows == "small":
        return res
    res["RETR 1 GiB (MiB/s)"] = float(t.load(tool, "retr", "big.bin")[1])
    res["STOR 1 GiB (MiB/s)"] = float(t.load(tool, "stor", f"{t.up_dir}/{t.name}.bin", GIB)[1])
    os.remove(os.path.join(root, t.up_dir, f"{t.name}.bin"))
    res["sessions/s, 16 clients"] = float(t.load(tool, "sessions", 16, 5)[1])
    res["LIST 10,000 files (ms)"] = statistics.median(
        float(t.load(tool, "list", "many")[1]) for _ in range(3))
    idle = subprocess.Popen([tool, "idle", "127.0.0.1", str(t.port), t.user, t.password,
                             "500", "30"], stdout=subprocess.PIPE, text=True)
    idle.stdout.readline()
    time.sleep(1)
    res["memory, 500 idle sessions (MiB)"] = pss_kib(descendants(t.proc.pid)) / 1024
    idle.kill()
    idle.wait()
    time.sleep(1)
    downloads = [subprocess.Popen([tool, "retr", "127.0.0.1", str(t.port), t.user, t.password,
                                   "big.bin"], stdout=subprocess.DEVNULL) for _ in range(8)]
    time.sleep(1)
    logins = [float(t.load(tool, "login")[1]) for _ in range(5)]
    res["login during 8 downloads (ms)"] = statistics.median(logins)
    for d in downloads:
        d.kill()
        d.wait()
    if rows == "all":
        res.update(perfrows.measure(t, tool, root, variant))
    return res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--load", required=True)
    ap.add_argument("--scratch", default=None)
    ap.add_argument("--rows", choices=("big", "small", "perf", "all", "tls", "goals"),
                    default="all")
    ap.add_argument("--repeat", type=int, default=1,
                    help="with --rows goals: rounds per timed row, each side's best counts")
    ap.add_argument("--markdown", action="store_true", help="with --rows goals: a Markdown table")
    ap.add_argument("--tls", action="store_true", help="also the TLS rows of the small files")
    ap.add_argument("--transfers-only", action="store_true",
                    help="with --rows tls: only the 1 GiB RETR and STOR rows")
    ap.add_argument("--sessions-only", action="store_true",
                    help="with --rows tls: only the sessions-per-second rows")
    args = ap.parse_args()
    if not shutil.which("vsftpd"):
        sys.exit("vsftpd is not installed: apt-get install vsftpd")
    scratch = args.scratch or tempfile.mkdtemp(prefix="nbbench-")
    root = os.path.join(scratch, "root")
    os.makedirs(os.path.join(root, "many"), exist_ok=True)
    os.makedirs(os.path.join(root, "up"), exist_ok=True)
    os.chmod(scratch, 0o755)
    os.chmod(root, 0o755)
    ftp = pwd.getpwnam("ftp")
    os.chown(os.path.join(root, "up"), ftp.pw_uid, ftp.pw_gid)
    big = os.path.join(root, "big.bin")
    if (args.rows in ("big", "all", "tls", "goals") and not args.sessions_only
            and (not os.path.exists(big) or os.path.getsize(big) != GIB)):
        with open(big, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(1024):
                f.write(block)
    smallfiles.make_tree(root)
    for i in range(10000):
        p = os.path.join(root, "many", f"file{i:05d}.txt")
        if not os.path.exists(p):
            open(p, "w").close()

    if args.rows == "goals":
        started, load_before = time.monotonic(), goalrows.load()

        def start(name, tls, extra=()):
            if name == "ours":
                return start_ours(args.server, root, scratch, tls, extra)
            return start_vsftpd(root, scratch, tls)

        def ceiling():
            vsftpd_tls_lines(scratch)  # makes the certificate
            return tlsrows.reference(args.load, os.path.join(scratch, "vsftpd.pem"))

        rows = goalrows.measure(start, args.load, root, max(1, args.repeat), ceiling)
        goalrows.report(rows, sys.argv, args.markdown, started, load_before)
        if not args.scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        return

    tls = args.tls or args.rows == "tls"
    results = {}
    variants = {"ours": lambda extra: start_ours(args.server, root, scratch, tls, extra),
                "vsftpd": lambda extra: None}
    for start in (lambda: start_ours(args.server, root, scratch, tls),
                  lambda: start_vsftpd(root, scratch, tls)):
        t = start()
        try:
            results[t.name] = measure(t, args.load, root, args.rows, args.tls, variants[t.name],
                                      args.transfers_only, args.sessions_only)
        finally:
            t.stop()

    better_low = {"LIST 10,000 files (ms)", "memory, 500 idle sessions (MiB)",
                  "login during 8 downloads (ms)"}
    print("command: python3 " + " ".join(sys.argv))
    width = max(36, *(len(key) for key in results["ours"]))
    print(f"{'metric':{width}} {'ours':>10} {'vsftpd':>10} {'ours/vsftpd':>12}")
    for key in results["ours"]:
        a, b = results["ours"][key], results["vsftpd"].get(key, float("nan"))
        ratio = a / b if b else float("inf")
        lower = (key in better_low or key.endswith("(s)") or key.endswith(("(ms)", "(KiB)"))
                 or any(key.startswith(w) for w in tlsrows.LOWER_IS_BETTER))
        note = " (lower is better)" if lower else ""
        print(f"{key:{width}} {a:10.3g} {b:10.3g} {ratio:12.2f}{note}")
    if args.rows == "tls" and not args.sessions_only:
        ceiling = tlsrows.reference(args.load, os.path.join(scratch, "vsftpd.pem"))
        ours = results["ours"]
        print(f"OpenSSL's own stream, same cipher: {ceiling:.1f} MiB/s; ours reaches "
              f"{100 * ours['TLS RETR 1 GiB (MiB/s)'] / ceiling:.0f}% of it (RETR), "
              f"{100 * ours['TLS STOR 1 GiB (MiB/s)'] / ceiling:.0f}% (STOR)")
    if not args.scratch:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
