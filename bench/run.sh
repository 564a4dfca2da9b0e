#!/bin/bash
# Builds and runs every benchmark, then writes one plain-text table that a reader can
# compare run to run: build/bench/results.txt (raw outputs beside it).
#
#   bench/run.sh [--repetitions N] [--md5-sizes "16 256"] [--pass-counts "100 300 1000"]
#                [--filter REGEX]
#
# Native benchmarks: the native-release preset over the scripted layer. Digest
# throughput: the win64 preset's rynUtil.dll under Wine, next to md5sum. A pass on
# the real Win32 (Wine, x64): korvaProc.dll's first and warm passes next to the bare
# call sequence, over 100, 300 and 1000 sleeping processes.
# Numbers are medians of N repetitions; nothing here fails on a timing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

repetitions=5
md5_sizes="16 256"
pass_counts="100 300 1000"
filter="."
while [ $# -gt 0 ]; do
    case "$1" in
    --repetitions) repetitions="$2"; shift 2 ;;
    --md5-sizes) md5_sizes="$2"; shift 2 ;;
    --pass-counts) pass_counts="$2"; shift 2 ;;
    --filter) filter="$2"; shift 2 ;;
    *) echo "usage: bench/run.sh [--repetitions N] [--md5-sizes \"16 256\"] [--pass-counts \"100 300 1000\"] [--filter REGEX]" >&2; exit 2 ;;
    esac
done

out="$root/build/bench"
mkdir -p "$out"
log="$out/build.log"
: >"$log"

echo "bench: building native-release and win64 (log: $log)"
cmake --preset native-release -DKORVA_WERROR=ON >>"$log" 2>&1
cmake --build build/native-release --target korva_bench >>"$log" 2>&1
cmake --preset win64 -DKORVA_WERROR=ON >>"$log" 2>&1
cmake --build build/win64 --target korva_md5_throughput korva_pass_cost >>"$log" 2>&1

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
start=$(date -u '+%Y-%m-%d %H:%M:%S UTC')

echo "bench: native benchmarks, $repetitions repetitions"
# Repetitions are interleaved at random, so that a change of load on the shared
# machine falls on every size alike rather than on whichever ran at that moment.
build/native-release/bench/korva_bench --benchmark_filter="$filter" \
    --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out="$out/native.json" --benchmark_out_format=json | tee "$out/native.txt"

echo "bench: GetFileMD5 under Wine vs md5sum ($md5_sizes MiB)"
prefix="$root/build/win64/wineprefix"
stop_wine() { tests/wine/wine-prefix.sh stop "$prefix"; }
trap stop_wine EXIT
tests/wine/wine-prefix.sh start "$prefix"
# shellcheck disable=SC2086 # sizes are words
bench/md5-bench.sh --wine tests/wine/wine-run.sh "$prefix" \
    --program build/win64/bin/korva_md5_throughput.exe --dir "$out" \
    --repetitions "$repetitions" $md5_sizes | tee "$out/md5.txt"

echo "bench: a pass of korvaProc.dll under Wine vs the bare call sequence ($pass_counts processes)"
# shellcheck disable=SC2086 # counts are words
bench/pass-cost.sh --wine tests/wine/wine-run.sh "$prefix" \
    --program build/win64/bin/korva_pass_cost.exe --dir "$out" \
    --warm-passes "$repetitions" --profile $pass_counts | tee "$out/pass-cost.txt"

echo "bench: instructions of first and warm passes (callgrind)"
profile="$out/callgrind.pass"
rm -f "$profile"*
if command -v valgrind >/dev/null; then
    # The warm benchmark runs a first pass, then the timed warm ones: one dump each.
    for processes in 1000 100 10000; do
        valgrind --tool=callgrind --callgrind-out-file="$profile$processes" --collect-atstart=no \
            --toggle-collect='CKorvaProcInterfaceImp::run()' --dump-after='CKorvaProcInterfaceImp::run()' \
            build/native-release/bench/korva_bench --benchmark_filter="BM_PassWarm/$processes/" \
            --benchmark_min_time=0 >"$out/callgrind-$processes.log" 2>&1 || echo "bench: callgrind failed (see $out/callgrind-$processes.log)"
    done
fi

{
    echo "run: $start to $(date -u '+%H:%M:%S UTC'), commit $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . 2>/dev/null || echo ' (uncommitted changes)')"
    echo "machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), nproc $(nproc), $(free -g | awk '/^Mem:/ { print $2 }') GiB"
    echo "load average (1/5/15 min): $load_start at start, $(cut -d' ' -f1-3 /proc/loadavg) at end"
    echo "compilers: $(g++ --version | head -1); $(x86_64-w64-mingw32-g++-posix --version 2>/dev/null | head -1 || echo MinGW); $(/usr/lib/wine/wine64 --version 2>/dev/null)"
} >"$out/machine.txt"

python3 bench/results.py --pass-cost "$out/pass-cost.txt" "$out/native.json" "$out/md5.txt" "$out/machine.txt" \
    "${profile}1000.1" "${profile}1000.2" "${profile}100.2" "${profile}10000.2" >"$out/results.txt"
echo
cat "$out/results.txt"
