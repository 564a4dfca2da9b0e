#!/bin/bash
# Writes sample files of random content into DIR and their digests, by md5sum, into
# DIR/md5sums.txt. Sizes straddle the digest's 64 KiB read chunk.
set -eu
dir="$1"
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"
: >empty.bin
head -c 1 /dev/urandom >one.bin
head -c 65536 /dev/urandom >chunk.bin
head -c 3145733 /dev/urandom >large.bin
# A name outside ASCII: the path reaches the file through UTF-8 and wide text.
head -c 70001 /dev/urandom >"naïve-проба.bin"
md5sum -- *.bin >md5sums.txt
