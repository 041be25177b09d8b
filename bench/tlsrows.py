"""The TLS rows: explicit TLS with protected data connections on both servers, one cipher.

Used by compare_vsftpd.py (--rows tls). Every row but the lftp mirror is driven by the C++
load client (bench_ftpload --tls explicit), so the TLS work on the client side is OpenSSL's
and costs both servers alike; the mirror is lftp's own, as in the plain small-file rows.
"""
import os
import resource
import subprocess

import perfrows
import smallfiles

GIB = 1024 * 1024 * 1024
SESSION_SECONDS = 5
# vsftpd forks a process per session and takes minutes to hold 10,000 TLS sessions on two
# cores; its 1,000 figure is the comparison, ours is also taken at 10,000 (the goal's count).
IDLE_COUNTS = {"ours": (1000, 10000), "vsftpd": (1000,)}
FRESH_SESSIONS = 50


def _run(tool, target, mode, *args):
    return target.load(tool, mode, *args, tls=True)


def _many(tool, target, root):
    res = {}
    n = smallfiles.TRANSFERS
    res[f"TLS {n:,} RETRs of 1 KiB (s)"] = float(
        _run(tool, target, "retrmany", "small/f%04d.bin", n)[1])
    res[f"TLS {n:,} STORs of 1 KiB (s)"] = float(
        _run(tool, target, "stormany", f"{target.up_dir}/s%04d.bin", n, smallfiles.FILE_SIZE)[1])
    up = os.path.join(root, target.up_dir)
    for name in os.listdir(up):
        if name.startswith("s") and name.endswith(".bin"):
            os.remove(os.path.join(up, name))
    res["TLS fresh session (ms)"] = float(_run(tool, target, "fresh", target.up_dir,
                                               FRESH_SESSIONS)[1])
    res[f"TLS lftp mirror of {smallfiles.MIRROR_FILES:,} files (s)"] = smallfiles.lftp_mirror(
        target, True)
    return res


def sessions(target, tool):
    """Whole short sessions per second (connect, AUTH TLS, login, PWD, QUIT)."""
    return {
        "TLS handshakes+logins/s, 16 clients": float(
            _run(tool, target, "sessions", 16, SESSION_SECONDS)[1]),
        "TLS sessions/s, 64 clients": float(
            _run(tool, target, "sessions", 64, SESSION_SECONDS)[1]),
    }


def measure(target, tool, root, pss_kib, descendants, transfers_only=False, sessions_only=False):
    if sessions_only:
        return sessions(target, tool)
    res = {
        "TLS RETR 1 GiB (MiB/s)": float(_run(tool, target, "retr", "big.bin")[1]),
        "TLS STOR 1 GiB (MiB/s)": float(
            _run(tool, target, "stor", f"{target.up_dir}/{target.name}.bin", GIB)[1]),
    }
    os.remove(os.path.join(root, target.up_dir, f"{target.name}.bin"))
    if transfers_only:
        return res
    res.update(sessions(target, tool))
    res.update(_many(tool, target, root))
    # Each idle session holds a descriptor in the client; the client raises its own limit.
    files = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    for count in IDLE_COUNTS[target.name]:
        key = f"KiB per idle TLS session, {count:,}"
        if count + 64 > files:
            print(f"# {key}: skipped, the descriptor limit is {files}")
            continue
        res[key] = perfrows.idle_kib_per_session(target, tool, count, tls=True)
    return res


def reference(tool, cert):
    """MiB/s of OpenSSL alone moving 1 GiB on loopback with the same cipher."""
    r = subprocess.run([tool, "sslstream", cert, "1024"], capture_output=True, text=True,
                       timeout=300, check=True)
    return float(r.stdout.split()[1])


LOWER_IS_BETTER = {"KiB per idle"}
