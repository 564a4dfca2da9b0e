#!/bin/bash
# Runs korvaAgentHost for two passes under Wine and checks what it did:
#   check-host.sh WINE_RUN PREFIX HOST_EXE
# Passes with one report line per pass, each ending with the System record, and a
# log that shows every pass ending. Anything else (no report, a crash, a hang, a
# garbled line) fails. KORVA_HOST_TIMEOUT_MS stretches the wait for slow runs.
set -u
run="$1" prefix="$2" host="$3"
rm -f host-check.log host-check.out host-check.err
"$run" "$prefix" "$host" --cmd-idx host-check --trigger-type ctest --passes 2 --pause-ms 100 \
    --timeout-ms "${KORVA_HOST_TIMEOUT_MS:-8000}" --log host-check.log >host-check.out 2>host-check.err
status=$?
[ "$status" = 77 ] && { cat host-check.err; exit 77; }

fail() { echo "check-host: $*"; echo "--- stdout"; cat host-check.out; echo "--- stderr"; cat host-check.err; echo "--- log"; cat host-check.log; exit 1; }

ends=$(grep -c ' end of refresh proc info$' host-check.log)
[ "$ends" = 2 ] || fail "expected 2 finished passes in the log, saw $ends"
[ "$status" = 0 ] || fail "exit status $status"
[ "$(wc -l <host-check.out)" = 2 ] || fail "expected 2 report lines"
while IFS= read -r line; do
    jq -e '.cmd_idx == "host-check" and .trigger_type == "ctest" and (.process | length) >= 2
           and .process[-1].pid == 4 and .process[-1].proc_name == "System"' \
        <<<"$line" >/dev/null || fail "not a report of this run: ${line:0:200}"
done <host-check.out
echo "check-host: 2 passes, 2 reports"
