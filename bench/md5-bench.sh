#!/bin/bash
# Digest throughput: rynUtil.dll's CAlgorithmUtil::GetFileMD5 under Wine next to
# md5sum, over the same file in the same run, and the hashing process's peak memory.
#
#   md5-bench.sh --wine WINE_RUN PREFIX --program EXE --dir DIR [--repetitions N] SIZE_MIB...
#
# For each size, a file of that many MiB of random bytes is hashed N times by each
# (interleaved, page cache warm) and one line is printed:
#   md5 size_mib=S md5sum_mib_s=A getfilemd5_mib_s=B ratio=B/A peak_working_set_kib=W peak_pagefile_kib=P
# Throughputs are medians. Exits 1 when the two digests differ or the program fails;
# a timing never fails it.
set -euo pipefail

wine_run=""
prefix=""
program=""
dir="${TMPDIR:-/tmp}"
repetitions=3
sizes=()
while [ $# -gt 0 ]; do
    case "$1" in
    --wine) wine_run="$2" prefix="$3"; shift 3 ;;
    --program) program="$2"; shift 2 ;;
    --dir) dir="$2"; shift 2 ;;
    --repetitions) repetitions="$2"; shift 2 ;;
    *) sizes+=("$1"); shift ;;
    esac
done
if [ -z "$wine_run" ] || [ -z "$program" ] || [ ${#sizes[@]} = 0 ]; then
    echo "usage: md5-bench.sh --wine WINE_RUN PREFIX --program EXE --dir DIR [--repetitions N] SIZE_MIB..." >&2
    exit 2
fi

mkdir -p "$dir"
file="$dir/md5-bench.bin"
trap 'rm -f "$file"' EXIT

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mib_per_s() { awk -v mib="$1" -v s="$2" 'BEGIN { printf "%.1f", (s > 0 ? mib / s : 0) }'; }

for size in "${sizes[@]}"; do
    head -c $((size * 1048576)) /dev/urandom >"$file"
    cat "$file" >/dev/null # page cache warm for both
    expected=""
    md5sum_seconds=()
    for ((i = 0; i < repetitions; i++)); do
        start=$(now)
        expected=$(md5sum "$file" | cut -d' ' -f1)
        end=$(now)
        md5sum_seconds+=("$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')")
    done
    # Wine sees the Linux root as drive Z:; its text output ends lines with CR LF.
    status=0
    output=$("$wine_run" "$prefix" "$program" "Z:${file//\//\\}" "$repetitions" | tr -d '\r') || status=$?
    if [ $status = 77 ]; then
        exit 77
    elif [ $status != 0 ]; then
        echo "md5-bench: the digest program failed ($status) for $size MiB" >&2
        exit 1
    fi
    digest=$(awk '$1 == "md5" { print $2 }' <<<"$output")
    if [ "$digest" != "$expected" ]; then
        echo "md5-bench: GetFileMD5 gave '$digest', md5sum '$expected' for $size MiB" >&2
        exit 1
    fi
    ours=$(awk '$1 == "seconds" { print $2 }' <<<"$output" | median)
    theirs=$(printf '%s\n' "${md5sum_seconds[@]}" | median)
    ours_rate=$(mib_per_s "$size" "$ours")
    theirs_rate=$(mib_per_s "$size" "$theirs")
    ratio=$(awk -v a="$ours_rate" -v b="$theirs_rate" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    working_set=$(awk '$1 == "peak_working_set" { print int($2 / 1024) }' <<<"$output")
    pagefile=$(awk '$1 == "peak_pagefile" { print int($2 / 1024) }' <<<"$output")
    echo "md5 size_mib=$size md5sum_mib_s=$theirs_rate getfilemd5_mib_s=$ours_rate ratio=$ratio" \
        "peak_working_set_kib=$working_set peak_pagefile_kib=$pagefile"
done
