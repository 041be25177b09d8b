"""The rows of the performance goals in one table: ours and vsftpd in the same run, their ratio,
the goal and whether it is met.

Used by compare_vsftpd.py --rows goals. Both servers run side by side and every timed row
alternates between them (ours first in one round, vsftpd first in the next), so that a change
of the machine's load falls on both; with --repeat N each side keeps its best of N rounds,
since load only ever slows a run down. Memory rows run once, each count on freshly started
servers, so that what one count left in a heap does not hide in the next one's baseline.
"""
import math
import os
import platform
import shlex
import subprocess
import time

import perfrows
import tlsrows
from procstat import descendants

GIB = 1024 * 1024 * 1024
SESSION_SECONDS = 5
IDLE_COUNTS = (500, 1000, 10000)


class Row:
    """One line of the table. goal is (kind, value): "ratio>=" / "ratio<=" compare ours/vsftpd,
    "below" and "share>=" compare our figure alone; None: the row is shown for comparison."""

    def __init__(self, name, lower=False, goal=None):
        self.name, self.lower, self.goal = name, lower, goal
        self.ours, self.vsftpd = [], []

    def best(self, values):
        values = [v for v in values if not math.isnan(v)]
        if not values:
            return float("nan")
        return min(values) if self.lower else max(values)

    def figures(self):
        a, b = self.best(self.ours), self.best(self.vsftpd)
        ratio = a / b if b and not math.isnan(a) and not math.isnan(b) else float("nan")
        return a, b, ratio

    def goal_text(self):
        if not self.goal:
            return "-"
        kind, value = self.goal
        return {"ratio>=": f">= {value}x", "ratio<=": f"<= {value}x", "below": f"< {value}",
                "share>=": f">= {value}%"}[kind]

    def verdict(self):
        if not self.goal:
            return ""
        a, _, ratio = self.figures()
        kind, value = self.goal
        judged = ratio if kind.startswith("ratio") else a
        if math.isnan(judged):
            return "n/a"
        met = {"ratio>=": judged >= value, "ratio<=": judged <= value, "below": judged < value,
               "share>=": judged >= value}[kind]
        return "met" if met else "missed"


def _rounds(rows_and_runs, targets, repeat):
    """Each (row, run) pair measured repeat times per target, the order of the targets turning."""
    for r in range(repeat):
        order = targets if r % 2 == 0 else targets[::-1]
        for row, run in rows_and_runs:
            for t in order:
                (row.ours if t.name == "ours" else row.vsftpd).append(run(t))


def _stor(t, tool, root, tls):
    name = f"{t.up_dir}/{t.name}-goal.bin"
    rate = float(t.load(tool, "stor", name, GIB, tls=tls)[1])
    path = os.path.join(root, name)
    size = os.path.getsize(path)
    os.remove(path)
    if size != GIB:
        raise RuntimeError(f"{t.name}: the upload is {size} bytes")
    return rate


def _sessions(t, tool, clients, tls):
    # A rare failed session is shown, not fatal: the rate of the others still stands.
    words = t.load(tool, "sessions", clients, SESSION_SECONDS, check=False, tls=tls)
    if not words[-1].endswith("=0"):
        print(f"# {t.name}: {clients} {'TLS ' if tls else ''}clients, {words[-1]}")
    return float(words[1])


def _idle_rows(rows, start, tool, tls):
    """KiB per idle session at each count, each on servers started for it."""
    label = "TLS" if tls else "plain"
    for count in IDLE_COUNTS:
        goal = ("below", 60 if tls else 25) if count == 10000 else None
        row = Row(f"memory per idle {label} session, {count:,} (KiB)", lower=True, goal=goal)
        for name in ("ours", "vsftpd"):
            t = start(name, tls)
            try:
                kib = perfrows.idle_kib_per_session(t, tool, count, tls)
                (row.ours if name == "ours" else row.vsftpd).append(kib)
                _settle(t)
            finally:
                t.stop()
        rows.append(row)


def _settle(t, timeout=120):
    """Waits until a server that forks per session has let its closed sessions go."""
    deadline = time.monotonic() + timeout
    while len(descendants(t.proc.pid)) > 1 and time.monotonic() < deadline:
        time.sleep(0.5)


def measure(start, tool, root, repeat, ceiling):
    """start(name, tls, extra=()) returns a running target; ceiling() OpenSSL's own MiB/s."""
    plain = [start("ours", False), start("vsftpd", False)]
    msdos = start("ours", False, ["--listing", "msdos"])
    try:
        retr, stor = Row("RETR 1 GiB (MiB/s)"), Row("STOR 1 GiB (MiB/s)", goal=("ratio>=", 1.2))
        unix = Row("LIST 10,000 files, unix style (ms)", lower=True, goal=("ratio<=", 1.0))
        dos = Row("LIST 10,000 files, msdos style (ms)", lower=True, goal=("ratio<=", 1.0))
        s16 = Row("sessions/s, 16 clients")
        s64 = Row("sessions/s, 64 clients", goal=("ratio>=", 5))
        # vsftpd writes Unix lines only: its one listing stands for both styles.
        _rounds([(retr, lambda t: float(t.load(tool, "retr", "big.bin")[1])),
                 (stor, lambda t: _stor(t, tool, root, False)),
                 (unix, lambda t: perfrows.list_ms(t, tool)),
                 (dos, lambda t: perfrows.list_ms(msdos if t.name == "ours" else t, tool)),
                 (s16, lambda t: _sessions(t, tool, 16, False)),
                 (s64, lambda t: _sessions(t, tool, 64, False))], plain, repeat)
    finally:
        for t in plain + [msdos]:
            t.stop()

    secure = [start("ours", True), start("vsftpd", True)]
    try:
        t16 = Row("TLS sessions/s, 16 clients")
        t64 = Row("TLS sessions/s, 64 clients", goal=("ratio>=", 5))
        tretr = Row("TLS RETR 1 GiB (MiB/s)", goal=("ratio>=", 1.5))
        tstor = Row("TLS STOR 1 GiB (MiB/s)", goal=("ratio>=", 1.5))
        _rounds([(t16, lambda t: _sessions(t, tool, 16, True)),
                 (t64, lambda t: _sessions(t, tool, 64, True)),
                 (tretr, lambda t: float(t.load(tool, "retr", "big.bin", tls=True)[1])),
                 (tstor, lambda t: _stor(t, tool, root, True))], secure, repeat)
    finally:
        for t in secure:
            t.stop()
    stream = Row("OpenSSL's own stream, same cipher (MiB/s)")
    stream.ours = [ceiling() for _ in range(repeat)]
    # Thousands of sessions (and vsftpd's processes) come last: their coming and going loads
    # the machine for a while after each count.
    plain_idle, tls_idle = [], []
    _idle_rows(plain_idle, start, tool, False)
    _idle_rows(tls_idle, start, tool, True)
    rows = [retr, stor, unix, dos, s16, s64, *plain_idle, t16, t64, *tls_idle, tretr, tstor, stream]
    top = stream.best(stream.ours)
    for row in (tretr, tstor):
        share = Row(f"{row.name.split(' (')[0]}, share of OpenSSL's stream (%)", goal=("share>=", 70))
        share.ours = [100 * row.best(row.ours) / top]
        rows.append(share)
    return rows


def machine():
    """One line saying what the figures were measured on."""
    def first(path, key):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith(key):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "?"
    try:
        with open("/etc/debian_version") as f:
            debian = "Debian " + f.read().strip()
    except OSError:
        debian = "not Debian"
    ram = int(first("/proc/meminfo", "MemTotal").split()[0]) / 1024 / 1024
    return (f"{first('/proc/cpuinfo', 'model name')}, {os.cpu_count()} cores, {ram:.0f} GiB RAM, "
            f"kernel {platform.release()}, {debian}")


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def _number(v):
    if math.isnan(v):
        return "n/a"
    return f"{v:.0f}" if abs(v) >= 100 else f"{v:.3g}"


def table(rows, markdown):
    header = ("", "ours", "vsftpd", "ours/vsftpd", "goal", "")
    lines = []
    for row in rows:
        a, b, ratio = row.figures()
        lines.append((row.name, _number(a), "-" if not row.vsftpd else _number(b),
                      "-" if math.isnan(ratio) else f"{ratio:.2f}", row.goal_text(), row.verdict()))
    if markdown:
        out = ["| " + " | ".join(header) + " |", "|---|---:|---:|---:|---|---|"]
        out += ["| " + " | ".join(line) + " |" for line in lines]
        return "\n".join(out)
    widths = [max(len(line[i]) for line in lines + [header]) for i in range(len(header))]
    fmt = lambda line: "  ".join(  # noqa: E731
        c.ljust(w) if i in (0, 4, 5) else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths)))
    return "\n".join(fmt(line).rstrip() for line in [header] + lines)


def report(rows, argv, markdown, started, load_before):
    command = "python3 " + shlex.join(argv)
    minutes = (time.monotonic() - started) / 60
    note = (f"{machine()}; load average {load_before} at the start, {load()} at the end; "
            f"the run took {minutes:.1f} min. Lower is better in the rows in ms and KiB.")
    if markdown:
        print(f"```\n{command}\n```\n\n{note}\n\n{table(rows, True)}")
    else:
        print(f"command: {command}\n{note}\n{table(rows, False)}")
