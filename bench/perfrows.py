"""The plain rows of the performance goals: uploads, large listings in both styles, many sessions
at once and the rate of short sessions.

Used by compare_vsftpd.py (--rows perf, and part of --rows all). Every row is the same client
against both servers. Wall-clock rows on a loaded machine scatter, so each takes the median of a
few runs, and the listing also has a row of the CPU time the server itself spent on it.
"""
import ftplib
import os
import signal
import statistics
import subprocess
import time

from procstat import descendants, pss_kib

GIB = 1024 * 1024 * 1024
STOR_RUNS = 3
LIST_RUNS = 5
LIST_CPU_RUNS = 10
SESSION_CLIENTS = 64
SESSION_SECONDS = 5
IDLE_SESSIONS = 10000


def _cpu_ms(pids):
    """User and system time of the processes (all their threads), in milliseconds."""
    ticks = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return ticks * 1000 / os.sysconf("SC_CLK_TCK")


def stor_mib_s(t, tool, root):
    rates = []
    for _ in range(STOR_RUNS):
        name = f"{t.up_dir}/{t.name}-perf.bin"
        rates.append(float(t.load(tool, "stor", name, GIB)[1]))
        path = os.path.join(root, name)
        if os.path.getsize(path) != GIB:
            raise RuntimeError(f"{t.name}: the upload is {os.path.getsize(path)} bytes")
        os.remove(path)
    return statistics.median(rates)


def list_ms(t, tool):
    return statistics.median(float(t.load(tool, "list", "many")[1]) for _ in range(LIST_RUNS))


def list_cpu_ms(t):
    """CPU time the server spends on one LIST of 10,000 entries (one session, warmed up)."""
    ftp = ftplib.FTP(timeout=60)
    ftp.connect("127.0.0.1", t.port)
    ftp.login(t.user, t.password)
    ftp.retrlines("LIST many", lambda _: None)
    pids = descendants(t.proc.pid)  # vsftpd's session processes exist by now
    before = _cpu_ms(pids)
    for _ in range(LIST_CPU_RUNS):
        ftp.retrlines("LIST many", lambda _: None)
    spent = _cpu_ms(pids) - before
    ftp.quit()
    return spent / LIST_CPU_RUNS


def idle_kib_per_session(t, tool, count, tls=False):
    """PSS the server tree gains per logged-in idle session (KiB); NaN when the machine cannot
    hold that many (descriptors, processes). The load client raises its own descriptor limit."""
    base = pss_kib(descendants(t.proc.pid))
    idle = subprocess.Popen([tool, *(["--tls", "explicit"] if tls else []), "idle", "127.0.0.1",
                             str(t.port), t.user, t.password, str(count), "900"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        if "ready" not in idle.stdout.readline():
            idle.wait(30)
            print(f"# {t.name}: {count} idle {'TLS ' if tls else ''}sessions failed: "
                  f"{idle.stderr.read().strip()}")
            return float("nan")
        time.sleep(2)  # the last sessions' logins settle
        return (pss_kib(descendants(t.proc.pid)) - base) / count
    finally:
        if idle.poll() is None:
            os.killpg(idle.pid, signal.SIGKILL)
        idle.wait()
        time.sleep(2)  # the server lets go of the closed sessions


def measure(t, tool, root, variant):
    """variant(extra_args) starts the same server with other arguments (ours: the listing
    style) and returns its target, or None where the server has no such choice (vsftpd)."""
    res = {"STOR 1 GiB, median (MiB/s)": stor_mib_s(t, tool, root)}
    res["LIST 10,000 files, unix (ms)"] = list_ms(t, tool)
    msdos = variant(["--listing", "msdos"])
    if msdos is None:  # vsftpd writes Unix lines only: its one listing stands for both
        res["LIST 10,000 files, msdos (ms)"] = res["LIST 10,000 files, unix (ms)"]
    else:
        try:
            res["LIST 10,000 files, msdos (ms)"] = list_ms(msdos, tool)
        finally:
            msdos.stop()
    res["LIST 10,000 files, server CPU (ms)"] = list_cpu_ms(t)
    res[f"sessions/s, {SESSION_CLIENTS} clients"] = float(
        t.load(tool, "sessions", SESSION_CLIENTS, SESSION_SECONDS)[1])
    res[f"memory per idle session, {IDLE_SESSIONS:,} (KiB)"] = idle_kib_per_session(t, tool, IDLE_SESSIONS)
    return res

