#!/usr/bin/env bash
# Takes the README's picture of the window (docs/window.png) on a private X display: the plain
# mode chosen and started from the window's own controls, one curl session served, then the shot.
#   scripts/screenshot.sh [program] [picture]
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/bin/NorbitFtpServerSSL}
picture=${2:-docs/window.png}
mkdir -p "$(dirname "$picture")"
PYTHONDONTWRITEBYTECODE=1 python3 - "$program" "$picture" <<'PY'
import os, socket, subprocess, sys
sys.path.insert(0, os.path.join("tests", "e2e"))
from nbftp_harness import USER, PASSWORD, free_port
from nbwindow_driver import WindowSession

program, picture = sys.argv[1:3]
port = 2121  # the port of the README's examples, when it is free
with socket.socket() as probe:
    if probe.connect_ex(("127.0.0.1", port)) == 0:
        port = free_port()
session = WindowSession(program)
try:
    session.keys("ctrl+a")
    session.type(str(port))
    session.keys("Tab", "Tab", "Home", "Tab", "space", "Tab", "Tab")  # "None", Start, log pane
    session.wait_until(lambda: "Start Server" in session.copy_focused_text())
    with open(os.path.join(session.home, "NorbitFtpServer", "welcome.txt"), "w") as f:
        f.write("Welcome to the Norbit FTP server.\n")
    subprocess.run(["curl", "-sS", "--max-time", "30", "-o", os.devnull, "-u",
                    f"{USER}:{PASSWORD}", f"ftp://127.0.0.1:{port}/welcome.txt"], check=True)
    session.wait_until(lambda: "Close Connection" in session.copy_focused_text())
    session.screenshot(picture)
finally:
    session.close()
print(picture)
PY
