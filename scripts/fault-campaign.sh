#!/bin/bash
# Runs the seeded fault campaign (tests/campaign) over N schedules, seeds 0 to N-1,
# in the ASan+UBSan build, which it configures and builds when needed. Further
# arguments go to the campaign (e.g. --first 5000). Ends with the campaign's line
#   fault-campaign: S schedules, F calls failed, C crashes, L leaks, I invalid reports, X mixed-up values
# and a non-zero status unless C, L, I and X are all 0. A failing seed prints the
# command that replays it.
set -uo pipefail
cd "$(dirname "$0")/.."

seeds="${1:-1000}"
shift || true
build=build/native-asan
logs=build/logs
mkdir -p "$logs"

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
