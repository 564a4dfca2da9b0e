#!/bin/bash
# Runs one command in a clean Debian 12 root, as on a newcomer's fresh machine:
# bookworm main, updates and security, nothing installed but git and ca-certificates.
#
#   bash scripts/clean-root.sh [--limit SECONDS] [--or-in-place] [--arch LIST] COMMAND...
#   e.g. bash scripts/clean-root.sh bash scripts/test-all.sh
#
# The committed HEAD of this clone is cloned into the root (uncommitted work is not
# seen), with ../shared beside it when there is one, and COMMAND runs there as root,
# from the top of that clone, with proc, sys and dev mounted and a login's
# environment (PATH, HOME, TERM, CI, and any KORVA_* variable given to this script).
# Its whole output streams through. Whatever happens (failure, timeout, a signal),
# the processes left in the root are ended, every mount is undone and the root is
# removed.
#
# A mirror in mid-sync: the suites' indexes are read first for every architecture in
# --arch (default amd64,i386, what the tests install), through scripts/apt-update.sh
# (tried again, 30 s apart). A suite whose index stays broken is left out of the root,
# since a root whose amd64 packages come from it cannot take the i386 twins that the
# broken index hides; the last line names it. Without bookworm itself there is no root.
#
# Downloaded packages are kept for the next run in KORVA_APT_CACHE (default
# /var/cache/korva-clean-root; empty turns it off): only the .deb files, so every
# root is still made and every package installed afresh, without fetching again
# what an earlier run fetched.
#
# Where no clean root can be made (not root, no mmdebstrap to be had, no Debian
# mirror), one line says why and the exit status is 125; with --or-in-place that
# line is a loud warning and COMMAND runs in place instead, on this machine's own
# packages, under the same time limit, and the last line says "in place" and why.
# Otherwise the exit status is COMMAND's, or 124 when the whole run (root included)
# would pass --limit seconds (default 5100).
set -uo pipefail
limit=5100
in_place=0
arch=amd64,i386
while [ $# -gt 0 ]; do
    case "$1" in
    --limit) limit=$2; shift 2 ;;
    --or-in-place) in_place=1; shift ;;
    --arch) arch=$2; shift 2 ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: clean-root.sh [--limit SECONDS] [--or-in-place] [--arch LIST] COMMAND..." >&2; exit 2; }
command=("$@")
top=$(cd "$(dirname "$0")/.." && pwd)
mirror=${KORVA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${KORVA_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
cache=${KORVA_APT_CACHE-/var/cache/korva-clean-root}

cannot() {
    if [ "$in_place" = 1 ]; then
        [ -n "${root:-}" ] && cleanup
        trap - EXIT
        echo "clean-root: !!!!!!!! NO CLEAN ROOT ($*): running '${command[*]}' IN PLACE, on this machine's own packages, where a missing install step cannot show !!!!!!!!"
        cd "$top" || exit 1
        local status
        timeout --kill-after=30 "$((limit > SECONDS ? limit - SECONDS : 1))" "${command[@]}" </dev/null &
        wait $!
        status=$?
        echo "clean-root: in place: $*: exit status $status after $SECONDS s, not in a clean root"
        exit "$status"
    fi
    echo "clean-root: cannot make a clean root: $*"
    exit 125
}
[ "$(id -u)" = 0 ] || cannot "not root"
commit=$(git -C "$top" rev-parse HEAD) || cannot "$top is not a git clone"
if ! command -v mmdebstrap >/dev/null; then
    echo "clean-root: installing mmdebstrap"
    # Only this machine's own architecture is needed: a foreign index in mid-sync must
    # not cost the clean root.
    { bash "$top/scripts/apt-update.sh" --need "$(dpkg --print-architecture)" -q &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q mmdebstrap; } >/dev/null 2>&1 ||
        cannot "mmdebstrap is missing and could not be installed"
fi

# keep_debs FROM TO: hard links (copies across file systems) of the packages
# that TO does not have yet.
keep_debs() {
    local deb
    for deb in "$1"/*.deb; do
        [ -f "$deb" ] && [ ! -e "$2/${deb##*/}" ] && { ln "$deb" "$2/" 2>/dev/null || cp "$deb" "$2/"; }
    done
    return 0
}

hooks=()
if [ -n "$cache" ]; then
    mkdir -p "$cache" || cannot "cannot make the package cache $cache"
    # Only the .deb files cross, linked where they can be: apt's own lock and
    # partial folder in the cache made a later copy fail (exit 13).
    rm -rf "$cache/lock" "$cache/partial"
    copy_debs='find "$FROM" -maxdepth 1 -name "*.deb" -exec cp -n -l -t "$TO" {} + 2>/dev/null ||
        find "$FROM" -maxdepth 1 -name "*.deb" -exec cp -n -t "$TO" {} +'
    hooks=(--skip=essential/unlink
        --setup-hook="mkdir -p \"\$1\"/var/cache/apt/archives; FROM=$cache TO=\"\$1\"/var/cache/apt/archives; $copy_debs"
        --customize-hook="FROM=\"\$1\"/var/cache/apt/archives TO=$cache; $copy_debs; true")
fi
root=$(mktemp -d --tmpdir=/var/tmp korva-clean-root.XXXXXX)
mounts=(proc sys dev)
cleanup() {
    local pid left
    trap '' INT TERM HUP
    # Whatever still runs inside (a wineserver, a build) holds the mounts.
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$root" ] && kill -KILL "$pid" 2>/dev/null
    done
    sleep 1
    [ -n "$cache" ] && keep_debs "$root/var/cache/apt/archives" "$cache"
    for mount in "${mounts[@]}"; do
        mountpoint -q "$root/$mount" && { umount -R "$root/$mount" || umount -R -l "$root/$mount"; }
    done
    left=$(awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo)
    if [ -n "$left" ]; then
        echo "clean-root: still mounted, root kept at $root: $left"
    else
        rm -rf --one-file-system "$root"
        rm -f "$root.log"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

SECONDS=0
# The suites whose indexes agree for every architecture wanted, read as apt in the
# root would read them, in a scratch apt state of their own.
suites=(bookworm bookworm-updates bookworm-security)
left_out=""
probe=$(mktemp -d --tmpdir=/var/tmp korva-apt-probe.XXXXXX)
mkdir -p "$probe/lists/partial" "$probe/parts" "$probe/cache"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
for suite in "${suites[@]}"; do
    url=$mirror
    [ "$suite" = bookworm-security ] && url=$security
    echo "deb [signed-by=$keyring] $url $suite main"
done >"$probe/sources.list"
apt_options=(-o Dir::Etc::SourceList="$probe/sources.list" -o Dir::Etc::SourceParts="$probe/parts"
    -o Dir::State::Lists="$probe/lists" -o Dir::Cache="$probe/cache")
for a in ${arch//,/ }; do
    apt_options+=(-o APT::Architectures::="$a")
done
broken=$(bash "$top/scripts/apt-update.sh" --need "$arch" "${apt_options[@]}") ||
    { rm -rf "$probe"; cannot "the Debian mirror cannot be read"; }
rm -rf "$probe"
while read -r suite index reason; do
    [ -n "$suite" ] || continue
    [ "$suite" = bookworm ] && cannot "the mirror's bookworm index for $index is broken: $reason"
    left_out+="${left_out:+; }$suite (its $index index is broken: $reason)"
done < <(awk -v need=" ${arch//,/ } all " 'index(need, " " $2 " ")' <<<"$broken")
sources=()
used=()
for suite in "${suites[@]}"; do
    [[ "$left_out" == *"$suite ("* ]] && continue
    used+=("$suite")
    if [ "$suite" = bookworm-security ]; then
        sources+=("deb $security $suite main")
    else
        sources+=("deb $mirror $suite main")
    fi
done
[ -z "$left_out" ] || echo "clean-root: leaving out $left_out"

echo "clean-root: making a Debian 12 root in $root (${used[*]})"
mmdebstrap --variant=apt --include=ca-certificates,git "${hooks[@]}" bookworm "$root" \
    "${sources[@]}" >"$root.log" 2>&1 &
wait $! || { tail -5 "$root.log"; cannot "mmdebstrap failed"; }
echo "clean-root: root made in $SECONDS s; cloning $commit"

project="$root/srv/project"
name=$(basename "$top")
mkdir -p "$project"
git clone -q --no-checkout "$top" "$project/$name" && git -C "$project/$name" fetch -q "$top" HEAD &&
    git -C "$project/$name" checkout -q --detach "$commit" ||
    { echo "clean-root: cloning $top failed"; exit 1; }
[ -d "$top/../shared" ] && cp -r "$top/../shared" "$project/shared"
[ -z "$(git -C "$top" status --porcelain)" ] || echo "clean-root: note: uncommitted changes in $top are not in the root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
[ -n "$cache" ] && keep_debs "$cache" "$root/var/cache/apt/archives"

mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --rbind /dev "$root/dev"
# Unmounting the copy must not unmount the host's /dev/pts and /dev/shm.
mount --make-rslave "$root/dev"

environment=(HOME=/root TERM="${TERM:-dumb}" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
while IFS= read -r variable; do
    environment+=("$variable")
done < <(env | grep -E '^(KORVA_[A-Z0-9_]*|CI)=' | grep -v '^KORVA_DEBIAN_')
printf -v quoted '%q ' "$@"
echo "clean-root: running in the root: $*"
start=$SECONDS
[ "$SECONDS" -lt "$limit" ] || exit 124
timeout --kill-after=30 "$((limit - SECONDS))" chroot "$root" /usr/bin/env -i "${environment[@]}" \
    /bin/bash -lc "cd /srv/project/$name && $quoted" </dev/null &
wait $!
status=$?
echo "clean-root: exit status $status after $((SECONDS - start)) s in the root, $SECONDS s in all${left_out:+; left out of the root: $left_out, the mirror is in mid-sync}"
exit "$status"
