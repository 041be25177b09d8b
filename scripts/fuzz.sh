#!/usr/bin/env bash
# Builds the fuzz targets (clang + libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each for a bounded time.
#
#   scripts/fuzz.sh                      every target, FUZZ_SECONDS (60) each
#   FUZZ_SECONDS=3600 scripts/fuzz.sh path command
#
# FUZZ_JOBS targets run side by side (default 2). Seeds come from tests/fuzz/corpus/<target>/;
# what a run learns goes to build-fuzz/corpus/<target>/ (kept between runs, never into the tree).
# A failing input is saved as build-fuzz/artifacts/<target>/crash-* and the script exits 1;
# replay it with build-fuzz/bin/fuzz_<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-fuzz
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/nbftp-ccache} CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1

compiler=$(command -v clang++-14 || command -v clang++ || true)
if [[ -z $compiler || ! -e /usr/lib/llvm-14/lib/clang ]] ||
    ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "fuzz: clang-14 and libclang-rt-14-dev are needed (apt-get install as root)" >&2
        exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-14 libclang-rt-14-dev >/dev/null
    compiler=$(command -v clang++-14)
fi

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNB_FUZZ=ON -DNB_BUILD_TESTS=OFF \
        -DNB_SANITIZE=address -DNB_WERROR=OFF >/dev/null
fi
cmake --build "$build" -j 2 --target nb_fuzz_all

if [[ $# -gt 0 ]]; then
    targets=("$@")
else
    targets=()
    for source in "$root"/fuzz/fuzz_*.cpp; do
        name=$(basename "$source" .cpp)
        targets+=("${name#fuzz_}")
    done
fi

run_target() {
    local target=$1
    local corpus=$build/corpus/$target artifacts=$build/artifacts/$target
    local seeds=$root/tests/fuzz/corpus/$target
    mkdir -p "$corpus" "$artifacts" "$build/logs"
    local dict=()
    [[ -f $root/fuzz/$target.dict ]] && dict=(-dict="$root/fuzz/$target.dict")
    local extra=()
    [[ -d $seeds ]] && extra=("$seeds")
    # leak detection on, one minute per input at most, the new corpus kept in build-fuzz/.
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" \
        "$corpus" "${extra[@]}" >"$build/logs/$target.log" 2>&1
}

status=0
declare -A pids
for target in "${targets[@]}"; do
    if [[ ! -x $build/bin/fuzz_$target ]]; then
        echo "fuzz: no target '$target'" >&2
        exit 2
    fi
    while [[ $(jobs -rp | wc -l) -ge $jobs ]]; do wait -n || true; done
    echo "fuzz: $target for ${seconds}s"
    run_target "$target" &
    pids[$target]=$!
done

printf '%-10s %12s %8s  %s\n' target executions corpus result
for target in "${targets[@]}"; do
    result=ok
    wait "${pids[$target]}" || { result="FAILED (see build-fuzz/logs/$target.log)"; status=1; }
    log=$build/logs/$target.log
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    units=$(find "$build/corpus/$target" -type f | wc -l)
    printf '%-10s %12s %8s  %s\n' "$target" "${runs:-?}" "$units" "$result"
    if [[ $result != ok ]]; then
        grep -E 'property broken|detail:|ERROR: |SUMMARY|Test unit written' "$log" | head -20 || true
    fi
done
exit $status
