"""Many small files: the rows where a per-transfer delay shows, plain and over TLS.

Used by compare_vsftpd.py; every row is the same client against both servers, so the client's
own cost cancels out in the ratio. Python's ftplib stands for the scripted clients, lftp for the
mirroring ones.
"""
import ftplib
import io
import os
import shutil
import ssl
import statistics
import subprocess
import tempfile
import time

FILE_SIZE = 1024
TRANSFERS = 1000
MIRROR_FILES = 2000
FRESH_SESSIONS = 50


def make_tree(root):
    """small/ holds the files the rows read; the STOR row writes into up/."""
    small = os.path.join(root, "small")
    os.makedirs(small, exist_ok=True)
    payload = bytes(range(256)) * (FILE_SIZE // 256)
    for i in range(MIRROR_FILES):
        path = os.path.join(small, f"f{i:04d}.bin")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(payload)


def _connect(target, tls):
    if tls:
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        ftp = ftplib.FTP_TLS(context=context, timeout=30)
    else:
        ftp = ftplib.FTP(timeout=30)
    ftp.connect("127.0.0.1", target.port)
    if tls:
        ftp.auth()
    ftp.login(target.user, target.password)
    if tls:
        ftp.prot_p()
    return ftp


def retr_many(target, tls):
    ftp = _connect(target, tls)
    start = time.perf_counter()
    for i in range(TRANSFERS):
        ftp.retrbinary(f"RETR small/f{i:04d}.bin", lambda _: None)
    elapsed = time.perf_counter() - start
    ftp.quit()
    return elapsed


def stor_many(target, tls):
    ftp = _connect(target, tls)
    payload = b"x" * FILE_SIZE
    start = time.perf_counter()
    for i in range(TRANSFERS):
        ftp.storbinary(f"STOR {target.up_dir}/s{i:04d}.bin", io.BytesIO(payload))
    elapsed = time.perf_counter() - start
    ftp.quit()
    return elapsed


def fresh_session_ms(target, tls):
    """Median of connect, login, PWD, PASV + LIST, QUIT."""
    times = []
    for _ in range(FRESH_SESSIONS):
        start = time.perf_counter()
        ftp = _connect(target, tls)
        ftp.pwd()
        ftp.retrlines("LIST up", lambda _: None)
        ftp.quit()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def lftp_mirror(target, tls):
    dest = tempfile.mkdtemp(prefix="nbmirror-")
    try:
        settings = ("set ftp:ssl-force yes; set ftp:ssl-protect-data yes; "
                    "set ssl:verify-certificate no;" if tls else "set ftp:ssl-allow no;")
        command = (f"{settings} set net:max-retries 1; set net:timeout 30; "
                   f"mirror --parallel=1 small {dest}/small; bye")
        start = time.perf_counter()
        subprocess.run(["lftp", "-u", f"{target.user},{target.password}", "-p",
                        str(target.port), "-e", command, "127.0.0.1"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900)
        elapsed = time.perf_counter() - start
        copied = len(os.listdir(os.path.join(dest, "small")))
        if copied != MIRROR_FILES:
            raise RuntimeError(f"{target.name}: mirror copied {copied} of {MIRROR_FILES} files")
        return elapsed
    finally:
        shutil.rmtree(dest, ignore_errors=True)


def measure(target, root, tls):
    label = "TLS " if tls else ""
    res = {
        f"{label}{TRANSFERS:,} RETRs of 1 KiB (s)": retr_many(target, tls),
        f"{label}{TRANSFERS:,} STORs of 1 KiB (s)": stor_many(target, tls),
        f"{label}fresh session (ms)": fresh_session_ms(target, tls),
        f"{label}lftp mirror of {MIRROR_FILES:,} files (s)": lftp_mirror(target, tls),
    }
    up = os.path.join(root, target.up_dir)
    for name in os.listdir(up):
        if name.startswith("s") and name.endswith(".bin"):
            os.remove(os.path.join(up, name))
    return res


LOWER_IS_BETTER = {"RETRs", "STORs", "fresh", "mirror"}
