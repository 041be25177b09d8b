#!/usr/bin/env bash
# Builds and runs every test: a normal build, then AddressSanitizer + UndefinedBehaviorSanitizer,
# a bounded run of the fuzz targets, then the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
# The compiler cache lives outside the checkout so that fresh clones on this machine share it.
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/nbftp-ccache} CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1

run_ctest() {
    local build=$1
    shift
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j 2 "$@"
}

scripts/setup.sh build
run_ctest build

scripts/setup.sh build-asan -DNB_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_ctest build-asan

# Fuzz targets (clang + libFuzzer), a bounded run of each.
FUZZ_SECONDS=${FUZZ_SECONDS:-45} scripts/fuzz.sh

scripts/setup.sh build-tsan -DNB_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L threaded
