#!/usr/bin/env bash
# Installs every Debian package the project needs (idempotent), then configures and builds.
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build ccache pkg-config git
          libssl-dev googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          python3 curl lftp wget ncftp openssl procps clang-14 libclang-rt-14-dev
          libtomlplusplus-dev libcrypt-dev libsystemd-dev systemd
          qt6-base-dev qt6-qpa-plugins fonts-dejavu-core xvfb xauth xdotool xclip imagemagick)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja "$@" >/dev/null
# Two cores: keep the build from starving the machine.
cmake --build "$build" -j "${NB_JOBS:-2}"
