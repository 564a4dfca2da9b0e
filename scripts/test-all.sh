#!/bin/bash
# Installs what is needed, then configures, builds and tests every configuration:
# native, native-asan, native-tsan, win64 and win32 (the last two under Wine), all
# with warnings as errors. Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh || exit 1

# Each Windows build has its own Wine prefix; whatever happens, no wineserver stays.
stop_wine() {
    for preset in win64 win32; do
        [ -d "build/$preset/wineprefix" ] && tests/wine/wine-prefix.sh stop "build/$preset/wineprefix"
    done
    return 0
}
trap stop_wine EXIT

# ThreadSanitizer runs the tests whose names match this (ctest -R); all by default.
tsan_filter="${KORVA_TSAN_FILTER:-.}"

summary=()
failures=0
tests_total=0
tests_failed=0
tests_skipped=0

run_preset() {
    local preset="$1"
    shift
    local start=$SECONDS
    local logs="$root/build/logs"
    mkdir -p "$logs"
    echo "=== $preset"
    if ! cmake --preset "$preset" -DKORVA_WERROR=ON >"$logs/$preset-configure.log" 2>&1; then
        tail -30 "$logs/$preset-configure.log"
        summary+=("$preset: configure FAILED")
        failures=$((failures + 1))
        return
    fi
    if ! cmake --build "build/$preset" >"$logs/$preset-build.log" 2>&1; then
        grep -E 'error|FAILED' "$logs/$preset-build.log" | head -40
        summary+=("$preset: build FAILED")
        failures=$((failures + 1))
        return
    fi
    ctest --preset "$preset" "$@" 2>&1 | tee "$logs/$preset-ctest.log" | grep -E 'Test +#|tests passed|tests failed|\(Failed\)|\(Skipped\)|\(Timeout\)|SKIPPED'
    local status=${PIPESTATUS[0]}
    local line
    line=$(grep -E 'tests passed, .* tests failed out of' "$logs/$preset-ctest.log" | tail -1)
    local total failed skipped
    total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' <<<"$line")
    failed=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' <<<"$line")
    skipped=$(grep -c '\*\*\*Skipped' "$logs/$preset-ctest.log")
    tests_total=$((tests_total + ${total:-0}))
    tests_failed=$((tests_failed + ${failed:-0}))
    tests_skipped=$((tests_skipped + skipped))
    if [ "$status" != 0 ]; then
        sed -n '/The following tests FAILED/,$p' "$logs/$preset-ctest.log"
        failures=$((failures + 1))
        line="${line:-no test summary} -- FAILED"
    fi
    summary+=("$preset: ${line:-no test ran} ($((SECONDS - start)) s)")
}

run_preset native
run_preset native-asan
run_preset native-tsan -R "$tsan_filter"
run_preset win64
run_preset win32

echo "=== summary"
for line in "${summary[@]}"; do
    echo "$line"
done
echo "tests: $((tests_total - tests_failed - tests_skipped)) passed, $tests_failed failed, $tests_skipped skipped"
if [ "$failures" != 0 ]; then
    echo "test-all: $failures configuration(s) failed"
    exit 1
fi
echo "test-all: every configuration passed ($SECONDS s)"
