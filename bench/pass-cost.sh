#!/bin/bash
# A pass of the real korvaProc.dll under Wine next to the bare Win32 sequence, per
# number of sleeping processes: runs korva_pass_cost.exe once per count (a fresh
# host process each, so every first pass starts with empty caches).
#
#   pass-cost.sh --wine WINE_RUN PREFIX --program EXE --dir DIR [--warm-passes R] [--profile] [--time-first] [--executables E] COUNT...
#
# Prints the program's "pass_cost..." lines (see bench/win/PassCost.cpp). Exits 1
# when a run fails or a pass misses one of its children; a timing never fails it.
set -euo pipefail

wine_run=""
prefix=""
program=""
dir="${TMPDIR:-/tmp}"
extra=()
counts=()
while [ $# -gt 0 ]; do
    case "$1" in
    --wine) wine_run="$2" prefix="$3"; shift 3 ;;
    --program) program="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    --warm-passes) extra+=(--warm-passes "$2"); shift 2 ;;
    --executables) extra+=(--executables "$2"); shift 2 ;;
    --profile | --time-first) extra+=("$1"); shift ;;
    *) counts+=("$1"); shift ;;
    esac
done
if [ -z "$wine_run" ] || [ -z "$program" ] || [ ${#counts[@]} = 0 ]; then
    echo "usage: pass-cost.sh --wine WINE_RUN PREFIX --program EXE --dir DIR [--warm-passes R] [--profile] [--time-first] [--executables E] COUNT..." >&2
    exit 2
fi

mkdir -p "$dir"
for count in "${counts[@]}"; do
    log="$dir/pass-cost-$count.log"
    rm -f "$log"
    status=0
    # Wine sees the Linux root as drive Z:; its text output ends lines with CR LF.
    "$wine_run" "$prefix" "$program" --processes "$count" --log "Z:${log//\//\\}" "${extra[@]}" |
        tr -d '\r' || status=$?
    if [ $status = 77 ]; then
        exit 77
    elif [ $status != 0 ]; then
        echo "pass-cost: the program failed ($status) for $count processes (log: $log)" >&2
        exit 1
    fi
done
