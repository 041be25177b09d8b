#!/usr/bin/env bash
# Installs what is missing, builds, and runs the server headless on an unprivileged port with a
# demo root. Stop it with Ctrl-C.   PORT=2121 ROOT=./demo-root scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_DIR=${CCACHE_DIR:-$PWD/.cache/ccache}
scripts/setup.sh build
root=${ROOT:-$PWD/demo-root}
mkdir -p "$root"
[ -e "$root/welcome.txt" ] || echo "Welcome to the Norbit FTP server." >"$root/welcome.txt"
exec build/bin/NorbitFtpServerSSL --headless --port "${PORT:-2121}" --root "$root" --tls none
