#!/bin/bash
# Runs korvaAgentHost for two passes under Wine and checks what it did:
#   check-host.sh WINE_RUN PREFIX HOST_EXE
# Exit 0 with one report line per pass, or exit 2 with the "no report" message
# while the module's parsers bind no process, are both sound outcomes; the log
# must show every pass ending. Anything else (a crash, a hang, a garbled line) fails.
set -u
run="$1" prefix="$2" host="$3"
rm -f host-check.log host-check.out host-check.err
"$run" "$prefix" "$host" --cmd-idx host-check --trigger-type ctest --passes 2 --pause-ms 100 \
    --timeout-ms 8000 --log host-check.log >host-check.out 2>host-check.err
status=$?
[ "$status" = 77 ] && { cat host-check.err; exit 77; }

fail() { echo "check-host: $*"; echo "--- stdout"; cat host-check.out; echo "--- stderr"; cat host-check.err; echo "--- log"; cat host-check.log; exit 1; }

ends=$(grep -c ' end of refresh proc info$' host-check.log)
[ "$ends" = 2 ] || fail "expected 2 finished passes in the log, saw $ends"
case "$status" in
0)
    [ "$(wc -l <host-check.out)" = 2 ] || fail "expected 2 report lines"
    while IFS= read -r line; do
        jq -e '.cmd_idx == "host-check" and .trigger_type == "ctest" and (.process | length) >= 1' \
            <<<"$line" >/dev/null || fail "not a report of this run: ${line:0:200}"
    done <host-check.out
    echo "check-host: 2 passes, 2 reports"
    ;;
2)
    grep -q 'pass 1 delivered no report within 8000 ms' host-check.err || fail "no clear message"
    grep -q 'parse process basic info failed\.$' host-check.log || fail "log lacks the reason"
    [ ! -s host-check.out ] || fail "stdout must be empty without reports"
    echo "check-host: 2 passes ran and ended; the module bound no process, so no report (exit 2)"
    ;;
*)
    fail "unexpected exit status $status"
    ;;
esac
