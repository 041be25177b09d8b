#!/usr/bin/env bash
# Installs what is missing, builds, and runs the server on an unprivileged port with a demo root:
# in its window where there is a display (press Start), headless otherwise. Ctrl-C stops it.
#   PORT=2121 ROOT=./demo-root scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# The compiler cache lives outside the checkout so that fresh clones on this machine share it.
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/nbftp-ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
scripts/setup.sh build
root=${ROOT:-$PWD/demo-root}
mkdir -p "$root"
[ -e "$root/welcome.txt" ] || echo "Welcome to the Norbit FTP server." >"$root/welcome.txt"
exec build/bin/NorbitFtpServerSSL --port "${PORT:-2121}" --root "$root" --tls none
