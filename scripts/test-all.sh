#!/bin/bash
# Installs what is needed, then configures, builds and tests every configuration:
# native, native-asan, the campaign's mutants, native-tsan, win64 and win32 (the last
# two under Wine), all with warnings as errors; arguments name a subset (e.g. test-all.sh native win64). Exits non-zero when anything fails, and also when a
# configuration ran no test or skipped a test it does not expect to skip here:
#   - none where x86 runs natively;
#   - where x86 runs only under CPU emulation (scripts/x86-emulation.sh), the win32
#     Wine tests outside the x86 smoke set, i.e. those without
#     KORVA_X86_EMULATED_OK=1 (tests/wine/CMakeLists.txt);
#   - inside a Wine GoogleTest program, only the skips it declares for its bitness
#     (SKIPS_X64, SKIPS_X86; wine-run.sh fails the program on any other).
#
# The last line says "PASSED" only when every test of every configuration ran;
# otherwise "PASSED with N expected skips (where)". Filters from outside that shrink
# the run (KORVA_TSAN_FILTER, KORVA_HOSTILE_SHAPES, GTEST_FILTER, configurations
# named as arguments) are named there too, and refused when CI=true.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
logs="$root/build/logs"

outside=()
[ -n "${KORVA_TSAN_FILTER:-}" ] && outside+=("KORVA_TSAN_FILTER=$KORVA_TSAN_FILTER")
[ -n "${KORVA_HOSTILE_SHAPES:-}" ] && outside+=("KORVA_HOSTILE_SHAPES=$KORVA_HOSTILE_SHAPES")
[ -n "${GTEST_FILTER:-}" ] && outside+=("GTEST_FILTER=$GTEST_FILTER")
[ $# != 0 ] && outside+=("only $*")
if [ ${#outside[@]} != 0 ] && [ "${CI:-}" = true ]; then
    echo "test-all: REFUSED: CI runs every test, but filters came from outside: $(printf '%s; ' "${outside[@]}" | sed 's/; $//')"
    exit 2
fi

bash scripts/setup.sh || exit 1
x86_mode=$(bash scripts/x86-emulation.sh --mode)

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
failed_presets=()
expected_total=0
expected_where=()

# The ctest entries this configuration may skip on this machine, one per line.
expected_skips() {
    [ "$1" = win32 ] && [ "$x86_mode" = emulated ] || return 0
    ctest --preset "$1" --show-only=json-v1 | jq -r '.tests[]
        | select(any(.properties[]?; .name == "FIXTURES_REQUIRED" and any(.value[]; . == "wine")))
        | select(all(.properties[]?; .name != "ENVIRONMENT" or all(.value[]; . != "KORVA_X86_EMULATED_OK=1")))
        | .name'
}

fail_preset() {
    summary+=("$1: FAILED -- $2")
    failed_presets+=("$1")
}

run_preset() {
    local preset="$1"
    shift
    local start=$SECONDS
    mkdir -p "$logs"
    echo "=== $preset"
    if ! cmake --preset "$preset" -DKORVA_WERROR=ON >"$logs/$preset-configure.log" 2>&1; then
        tail -40 "$logs/$preset-configure.log"
        fail_preset "$preset" "configure"
        return
    fi
    if ! cmake --build "build/$preset" >"$logs/$preset-build.log" 2>&1; then
        grep -E -A12 'FAILED:|error' "$logs/$preset-build.log" | head -150
        fail_preset "$preset" "build"
        return
    fi
    local skip_log="$logs/$preset-gtest-skips.txt"
    : >"$skip_log"
    KORVA_SKIP_LOG="$skip_log" ctest --preset "$preset" "$@" 2>&1 | tee "$logs/$preset-ctest.log"
    local status=${PIPESTATUS[0]}

    # Totals from ctest's own summary line; names of skipped tests from lines like
    # "  3/15 Test  #3: name .....***Skipped   0.31 sec" (names may hold spaces).
    local line total failed skipped expected unexpected gtest_skips gtest_declared
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs/$preset-ctest.log" | tail -1)
    total=$(sed -nE 's/.* out of ([0-9]+).*/\1/p' <<<"$line")
    failed=$(sed -nE 's/.*, ([0-9]+) tests? failed out of.*/\1/p' <<<"$line")
    total=${total:-0} failed=${failed:-0}
    skipped=$(sed -nE 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: (.*[^ .]) *\.*\*\*\*Skipped .*/\1/p' \
        "$logs/$preset-ctest.log" | sort)
    expected=$(expected_skips "$preset" | sort)
    unexpected=$(comm -23 <(grep . <<<"$skipped") <(grep . <<<"$expected"))
    gtest_skips=$(grep -cE $'\t(declared|undeclared)$' "$skip_log")
    gtest_declared=$(grep -c $'\tdeclared$' "$skip_log")

    # Cases the emulation's own filter leaves out of a Wine program, one per pattern.
    local emulated counts
    emulated=$(grep -c $'\temulated$' "$skip_log")
    counts="ran $((total - $(grep -c . <<<"$skipped"))), skipped $(grep -c . <<<"$skipped"), expected-skipped $(grep -c . <<<"$expected")"
    [ "$gtest_skips" != 0 ] && counts+="; skipped inside Wine programs $gtest_skips, declared $gtest_declared"
    [ "$emulated" != 0 ] && counts+="; left out by the emulation's filter $emulated"
    counts+=" ($((SECONDS - start)) s)"
    local reasons=()
    [ "$status" != 0 ] && reasons+=("ctest exit status $status, $failed of $total failed")
    [ "$total" = 0 ] && reasons+=("no test ran")
    if [ -n "$unexpected" ]; then
        reasons+=("unexpected skips: $(tr '\n' ' ' <<<"$unexpected")")
    fi
    if [ "$gtest_skips" != "$gtest_declared" ]; then
        reasons+=("undeclared skips inside Wine programs: $(awk -F'\t' '$3 == "undeclared" { printf "%s ", $2 }' "$skip_log")")
    fi
    if [ ${#reasons[@]} = 0 ]; then
        summary+=("$preset: passed -- $counts")
        local where=() n
        n=$(grep -c . <<<"$expected")
        [ "$n" != 0 ] && where+=("$n tests outside the emulated smoke set")
        [ "$gtest_declared" != 0 ] && where+=("$gtest_declared declared skips inside Wine programs")
        [ "$emulated" != 0 ] && where+=("$emulated case patterns left out by the emulation's filter")
        if [ ${#where[@]} != 0 ]; then
            expected_total=$((expected_total + n + gtest_declared + emulated))
            expected_where+=("$preset: $(printf '%s, ' "${where[@]}" | sed 's/, $//')")
        fi
    else
        fail_preset "$preset" "$(printf '%s; ' "${reasons[@]}")$counts"
    fi
}

# The planted bugs of tests/campaign/mutants: each must be caught by the campaign.
run_mutants() {
    local start=$SECONDS line
    mkdir -p "$logs"
    echo "=== mutants"
    bash scripts/fault-campaign.sh --mutants 2>&1 | tee "$logs/mutants.log"
    local status=${PIPESTATUS[0]}
    line=$(grep -E '^fault-campaign: mutants:' "$logs/mutants.log" | tail -1)
    if [ "$status" = 0 ]; then
        summary+=("mutants: passed -- ${line#fault-campaign: mutants: } ($((SECONDS - start)) s)")
    else
        fail_preset mutants "${line:-fault-campaign.sh --mutants exit status $status} ($((SECONDS - start)) s)"
    fi
}

# The summary, also of a run cut short (a CI time limit, ^C): what finished is shown.
finish() {
    local pending=${1:-}
    echo "=== summary (x86 $x86_mode)"
    for line in "${summary[@]}"; do
        echo "$line"
    done
    if [ -n "$pending" ]; then
        echo "test-all: INTERRUPTED during $pending ($SECONDS s)"
        exit 1
    elif [ ${#failed_presets[@]} != 0 ]; then
        echo "test-all: FAILED: ${failed_presets[*]} ($SECONDS s)"
        exit 1
    fi
    local verdict="PASSED"
    [ "$expected_total" != 0 ] &&
        verdict+=" with $expected_total expected skips ($(printf '%s; ' "${expected_where[@]}" | sed 's/; $//'))"
    [ ${#outside[@]} != 0 ] && verdict+=" with filters from outside ($(printf '%s; ' "${outside[@]}" | sed 's/; $//'))"
    [ "$verdict" = PASSED ] && verdict="PASSED: every test of every configuration ran"
    echo "test-all: $verdict ($SECONDS s)"
    exit 0
}
current=""
trap 'finish "$current"' INT TERM HUP

presets=("$@")
[ ${#presets[@]} = 0 ] && presets=(native native-asan mutants native-tsan win64 win32)
for preset in "${presets[@]}"; do
    current=$preset
    if [ "$preset" = mutants ]; then
        run_mutants
    elif [ "$preset" = native-tsan ]; then
        run_preset native-tsan -R "$tsan_filter"
    else
        run_preset "$preset"
    fi
done
current=""
finish ""
