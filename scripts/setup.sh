#!/bin/bash
# Installs what the builds and tests need on Debian 12 (as root, or with sudo),
# then makes sure x86 programs run (scripts/x86-emulation.sh) and fails, saying
# why, where they cannot: the win32 tests need them.
#
#   bash scripts/setup.sh             everything: both Windows builds, the native
#                                     tests, Wine's 32-bit half, qemu for x86
#   bash scripts/setup.sh --x64-only  only the x64 build and one pass under Wine
#                                     (scripts/run-pass.sh): no i386 architecture
#
# Safe to repeat: when everything is present it changes nothing and asks no server.
# A mirror in mid-sync: indexes are fetched by scripts/apt-update.sh (tried again,
# a broken one named), packages downloaded in full, tried again the same way,
# before any is unpacked; when they cannot be had, the last line says which suite
# is broken and what to do. A run cut short is repaired by the next one.
set -euo pipefail
x64_only=0
[ "${1:-}" = --x64-only ] && x64_only=1

# The x64 build of the DLLs and the host program, and Wine to run one pass. Wine's
# recommended packages (sound, graphics, fonts, the 32-bit half) serve no pass: the
# x64 job leaves them out, but for libgnutls30, which Wine's crypto loads. The tests
# keep them, as they were proven with them.
packages=(
    cmake ninja-build
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
    wine64 libgnutls30 rapidjson-dev
)
recommends=(--no-install-recommends)
# tzdata: the Wine tests set TZ=Asia/Tokyo and Asia/Shanghai, which fall back to
# UTC without it. binutils: the x86 probe of x86-emulation.sh (as, ld). patch: the
# campaign's mutants (scripts/fault-campaign.sh --mutants).
[ "$x64_only" = 1 ] || recommends=()
[ "$x64_only" = 1 ] || packages+=(
    g++ make
    gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
    wine32:i386
    googletest libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
    osslsigncode openssl faketime jq python3 python3-jsonschema clang-format coreutils qemu-user
    tzdata binutils patch
)
delay=${KORVA_APT_RETRY_DELAY:-30}
tries=4

as_root=()
if [ "$(id -u)" != 0 ]; then
    as_root=(sudo)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$package")
    fi
done
x86_programs() {
    [ "$x64_only" = 1 ] && return 0
    if "${as_root[@]}" bash "$(dirname "$0")/x86-emulation.sh"; then
        return 0
    fi
    echo "setup: FAILED: x86 programs cannot run on this machine (above), so the win32 tests cannot" >&2
    return 1
}

if [ ${#missing[@]} = 0 ]; then
    echo "setup: all ${#packages[@]} packages present"
    x86_programs
    exit
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# An earlier run cut short in the middle of dpkg leaves it to finish first.
if [ -n "$("${as_root[@]}" dpkg --audit 2>/dev/null)" ]; then
    echo "setup: finishing what an earlier install left undone"
    "${as_root[@]}" dpkg --configure -a
fi
# wine32 is an i386 package: the architecture must be known to dpkg first.
if [ "$x64_only" = 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
need=amd64
[ "$x64_only" = 1 ] || need=amd64,i386
broken=$("${as_root[@]}" bash "$(dirname "$0")/apt-update.sh" --need "$need") || {
    echo "setup: FAILED: apt-get update failed (above): check the network and /etc/apt/sources.list.d/, then run setup again" >&2
    exit 1
}
# Only the indexes of the architectures installed here can stand in the way.
broken=$(awk -v need=" ${need//,/ } all " 'index(need, " " $2 " ")' <<<"$broken")

# Everything is downloaded before anything is unpacked, so a mirror that fails
# half-way leaves the machine as it was.
downloaded=0
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT
for try in $(seq "$tries"); do
    if "${as_root[@]}" apt-get install -y -q "${recommends[@]}" --download-only "${missing[@]}" 2>&1 | tee "$apt_log"; then
        downloaded=1
        break
    fi
    # Only a download can go better later; unmet dependencies stay as they are.
    grep -q 'Failed to fetch' "$apt_log" && [ "$try" -lt "$tries" ] || break
    echo "setup: the download failed; trying again in $delay s (try $try of $tries)"
    sleep "$delay"
done
if [ "$downloaded" = 1 ] && "${as_root[@]}" apt-get install -y -q "${recommends[@]}" "${missing[@]}"; then
    x86_programs
    echo "setup: done"
    exit 0
fi
if [ "$downloaded" = 1 ]; then
    echo "setup: FAILED: dpkg stopped while installing ${#missing[@]} packages (above); running setup again finishes it" >&2
elif [ -n "$broken" ]; then
    suites=$(awk '{ print $1 " (" $2 ")" }' <<<"$broken" | sort -u | paste -sd, - | sed 's/,/, /g')
    echo "setup: FAILED: the mirror's index of $suites is broken (the mirror is in mid-sync), so ${#missing[@]} packages cannot be installed; nothing was installed: run setup again later, or point apt at another Debian mirror (/etc/apt/sources.list.d/)" >&2
else
    echo "setup: FAILED: apt-get could not download ${#missing[@]} packages (above); nothing was installed: run setup again later" >&2
fi
exit 1
