#!/bin/bash
# Brings apt's package indexes up to date, riding through a mirror in mid-sync.
#
#   bash scripts/apt-update.sh [--need ARCH,ARCH...] [APT-GET OPTION...]
#
# Runs `apt-get update` (with the given options). An index that fails to download
# for an architecture in --need (default: every architecture dpkg knows; the suite's
# own Release files count for all) is tried again, 4 tries in all, 30 s apart
# (KORVA_APT_RETRY_DELAY seconds). An index that stays broken is named on stderr and
# apt goes on with what it has: for old lists, the old ones; for new ones, none.
# Failures of other architectures are named once and not waited for.
#
# stdout: one line per index still broken, "SUITE ARCH REASON" (ARCH "all" for a
# suite's Release files), e.g.
#   bookworm-security i386 File has unexpected size (374820 != 376004). Mirror sync in progress?
# Exit status 0 when apt-get could update the rest; apt's own when it failed otherwise.
set -uo pipefail
need=""
if [ "${1:-}" = --need ]; then
    need=$2
    shift 2
fi
[ -n "$need" ] || need=$(
    dpkg --print-architecture
    dpkg --print-foreign-architectures
)
need=" $(tr ',\n' '  ' <<<"$need") all "
delay=${KORVA_APT_RETRY_DELAY:-30}
tries=4

# "E: Failed to fetch URL  REASON" or "W: ..." -> "SUITE ARCH REASON"
broken_indexes() {
    sed -nE 's#^[EW]: Failed to fetch [^ ]*/dists/([^/ ]+)/[^ ]*binary-([^/ ]+)/[^ ]*  *(.*)#\1 \2 \3#p
s#^[EW]: Failed to fetch [^ ]*/dists/([^/ ]+)/(In)?Release(\.gpg)? *(.*)#\1 all \4#p' |
        sed -E 's/ \[IP: [^]]*\]$//' | sort -u
}

export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for try in $(seq "$tries"); do
    apt-get update -q "$@" >"$log" 2>&1
    status=$?
    broken=$(broken_indexes <"$log")
    if [ "$status" != 0 ] && [ -z "$broken" ]; then
        cat "$log" >&2
        exit "$status"
    fi
    needed=$(awk -v need="$need" 'index(need, " " $2 " ")' <<<"$broken")
    [ -n "$needed" ] && [ "$try" -lt "$tries" ] || break
    while read -r suite arch reason; do
        echo "apt-update: the mirror's $suite index for $arch failed ($reason); trying again in $delay s (try $try of $tries)" >&2
    done <<<"$needed"
    sleep "$delay"
done
while read -r suite arch reason; do
    [ -n "$suite" ] || continue
    echo "apt-update: the mirror's $suite index for $arch stays broken ($reason); going on with what apt has" >&2
    echo "$suite $arch $reason"
done <<<"$broken"
exit 0
