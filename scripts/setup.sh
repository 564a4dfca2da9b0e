#!/bin/bash
# Installs what the builds and tests need on Debian 12 (as root, or with sudo),
# then makes sure x86 programs run (scripts/x86-emulation.sh) and fails, saying
# why, where they cannot: the win32 tests need them. With --x64-only (for
# scripts/run-pass.sh) that is only a warning.
# Safe to repeat: when everything is present it changes nothing and asks no server.
set -euo pipefail
x64_only=0
[ "${1:-}" = --x64-only ] && x64_only=1

packages=(
    cmake ninja-build g++ make
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
    gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
    wine64 wine32:i386
    rapidjson-dev googletest libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
    osslsigncode openssl faketime jq python3 python3-jsonschema clang-format coreutils qemu-user
    tzdata binutils
)
# tzdata: the Wine tests set TZ=Asia/Tokyo and Asia/Shanghai, which fall back to
# UTC without it. binutils: the x86 probe of x86-emulation.sh (as, ld).

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
    if "${as_root[@]}" bash "$(dirname "$0")/x86-emulation.sh"; then
        return 0
    elif [ "$x64_only" = 1 ]; then
        echo "setup: x86 programs cannot run here; enough for the x64 build"
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
# wine32 is an i386 package: the architecture must be known to dpkg first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}"
x86_programs
echo "setup: done"
