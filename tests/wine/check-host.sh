#!/bin/bash
# Runs korvaAgentHost for two passes under Wine and checks what it did:
#   check-host.sh WINE_RUN PREFIX HOST_EXE DESCRIPTION COMPANY
# Passes with one report line per pass, each ending with the System record and
# holding the host's own record with the DESCRIPTION and COMPANY of its version
# resource, and a log that shows every pass ending. Anything else (no report, a
# crash, a hang, a garbled line) fails. KORVA_HOST_TIMEOUT_MS stretches the wait
# for slow runs. The reports are also appended to reports/agent-host-passes.jsonl
# for the schema check.
set -u
run="$1" prefix="$2" host="$3" description="$4" company="$5"
rm -f host-check.log host-check.out host-check.err
"$run" "$prefix" "$host" --cmd-idx host-check --trigger-type ctest --passes 2 --pause-ms 100 \
    --timeout-ms "${KORVA_HOST_TIMEOUT_MS:-8000}" --log host-check.log >host-check.out 2>host-check.err
status=$?
[ "$status" = 77 ] && { cat host-check.err; exit 77; }
mkdir -p reports && cat host-check.out >>reports/agent-host-passes.jsonl

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
# Executables in the system directory must be the real ones, not the 32-bit copies a
# WOW64 process would be redirected to: size and digest equal the files in the prefix.
system_files=0
while IFS=$'\t' read -r name size md5; do
    file="$prefix/drive_c/windows/system32/$name"
    [ -f "$file" ] || fail "$name is reported from system32 but is not there"
    [ "$size" = "$(stat -L -c %s "$file")" ] || fail "$name: file_size $size, the file has $(stat -L -c %s "$file")"
    [ "$md5" = "$(md5sum <"$file" | cut -d' ' -f1)" ] || fail "$name: file_md5 differs from md5sum"
    system_files=$((system_files + 1))
done < <(head -1 host-check.out | jq -r '.process[]
    | select((.proc_path | ascii_downcase | startswith("c:\\windows\\system32\\")) and has("file_size"))
    | [.proc_name, (.file_size | tostring), .file_md5] | @tsv')
[ "$system_files" -gt 0 ] || fail "no system32 executable in the report"
# The host's own record, in each report: our version resource, read by the module.
exe=$(basename "$host")
own=$(jq -c --arg exe "$exe" '.process[] | select(.proc_name == $exe)' host-check.out)
[ "$(grep -c . <<<"$own")" = 2 ] || fail "expected the host's own record once in each report"
jq -s -e --arg d "$description" --arg c "$company" 'all(.description == $d and .company == $c)' \
    <<<"$own" >/dev/null || fail "the host's record lacks \"$description\" / \"$company\": $own"
echo "check-host: 2 passes, 2 reports, $system_files system executables read from the real files"
echo "check-host: the host's own record: $(head -1 <<<"$own")"
