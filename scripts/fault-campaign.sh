#!/bin/bash
# Runs the seeded fault campaign (tests/campaign) over N schedules, seeds 0 to N-1,
# in the ASan+UBSan build, which it configures and builds when needed. Further
# arguments go to the campaign (e.g. --first 5000). Ends with the campaign's line
#   fault-campaign: S schedules, F calls failed, C crashes, L leaks, I invalid reports, X mixed-up values, K flaky
# and a non-zero status unless C, L, I, X and K are all 0. A failing seed prints the
# command that replays it.
#
#   fault-campaign.sh --mutants [N]
# proves the campaign instead: for each planted bug of tests/campaign/mutants (a patch
# and the line that says what it plants), applies it to a scratch copy of the sources
# (build/mutants), builds the campaign there without sanitizers and runs up to N seeds
# (2000), stopping at the first batch that fails. Prints each mutant and the seed that
# caught it; a non-zero status unless every patch applies, builds and is caught.
set -uo pipefail
cd "$(dirname "$0")/.."

logs=build/logs
mkdir -p "$logs"

mutants() {
    local limit="${1:-2000}" scratch=build/mutants/src binary=build/mutants/build/tests/fault_campaign
    local escaped=0 patch name seed started
    # Only files that differ are copied, so that the scratch build stays incremental;
    # files the sources no longer have go, since the build's globs would still find them.
    local listed
    listed=$(git ls-files -co --exclude-standard)
    while read -r file; do
        if [ -f "$file" ] && ! cmp -s "$file" "$scratch/$file"; then
            mkdir -p "$scratch/$(dirname "$file")" && cp "$file" "$scratch/$file"
        fi
    done <<<"$listed"
    if [ -d "$scratch" ]; then
        (cd "$scratch" && find . -type f | sed 's|^\./||' | sort) |
            comm -23 - <(sort <<<"$listed") | while read -r stale; do rm -f "$scratch/$stale"; done
    fi
    if ! nice -n 10 cmake -S "$scratch" -B build/mutants/build -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$logs/mutants-configure.log" 2>&1; then
        echo "fault-campaign: mutants: configure failed ($logs/mutants-configure.log)"
        return 2
    fi
    for patch in tests/campaign/mutants/*.patch; do
        name=$(basename "$patch" .patch)
        started=$SECONDS
        # Tried first, so that a patch that half applies leaves the copy untouched.
        if ! patch -d "$scratch" -p1 --batch --fuzz=0 --forward --dry-run <"$patch" >"$logs/mutant-$name.log" 2>&1 ||
            ! patch -d "$scratch" -p1 --batch --fuzz=0 --forward --silent <"$patch" >>"$logs/mutant-$name.log" 2>&1; then
            echo "mutant $name: the patch no longer applies ($logs/mutant-$name.log)"
            escaped=$((escaped + 1))
            continue
        fi
        if ! nice -n 10 cmake --build build/mutants/build --target fault_campaign -j2 >>"$logs/mutant-$name.log" 2>&1; then
            echo "mutant $name: does not build ($logs/mutant-$name.log)"
            escaped=$((escaped + 1))
        elif nice -n 10 "$binary" --seeds "$limit" --batch 50 --stop >>"$logs/mutant-$name.log" 2>&1; then
            echo "mutant $name: NOT caught in $limit seeds: $(head -1 "$patch")"
            escaped=$((escaped + 1))
        else
            seed=$(grep -m1 -o '^seed [0-9]* failed' "$logs/mutant-$name.log" | cut -d' ' -f2)
            echo "mutant $name: caught by seed ${seed:-?} in $((SECONDS - started)) s: $(head -1 "$patch")"
        fi
        patch -d "$scratch" -p1 --batch --reverse --silent <"$patch" >/dev/null
    done
    echo "fault-campaign: mutants: $escaped of $(ls tests/campaign/mutants/*.patch | wc -l) not caught"
    [ "$escaped" -eq 0 ]
}

if [ "${1:-}" = "--mutants" ]; then
    shift
    mutants "$@"
    exit
fi

seeds="${1:-1000}"
shift || true
build=build/native-asan

if [ ! -f "$build/CMakeCache.txt" ]; then
    if ! nice -n 10 cmake --preset native-asan -DKORVA_WERROR=ON >"$logs/fault-campaign-configure.log" 2>&1; then
        tail -30 "$logs/fault-campaign-configure.log"
        echo "fault-campaign: configure failed ($logs/fault-campaign-configure.log)"
        exit 2
    fi
fi
if ! nice -n 10 cmake --build "$build" --target fault_campaign >"$logs/fault-campaign-build.log" 2>&1; then
    grep -E 'error|FAILED' "$logs/fault-campaign-build.log" | head -40
    echo "fault-campaign: build failed ($logs/fault-campaign-build.log)"
    exit 2
fi
# Fifty seeds share a child process: forking is the dear part of a seed under the
# sanitizers. A seed that fails in a batch is run again alone, and that run is reported.
exec nice -n 10 "$build/tests/fault_campaign" --seeds "$seeds" --batch 50 "$@"
