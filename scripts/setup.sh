#!/bin/bash
# Installs what the builds and tests need on Debian 12 (as root, or with sudo).
# Safe to repeat: when everything is present it changes nothing and asks no server.
set -euo pipefail

packages=(
    cmake ninja-build g++ make
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
    gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
    wine64 wine32:i386
    rapidjson-dev googletest libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
    osslsigncode openssl faketime jq python3 python3-jsonschema clang-format coreutils qemu-user
)

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
if [ ${#missing[@]} = 0 ]; then
    echo "setup: all ${#packages[@]} packages present"
    "${as_root[@]}" bash "$(dirname "$0")/x86-emulation.sh"
    exit 0
fi

echo "setup: installing ${missing[*]}"
# wine32 is an i386 package: the architecture must be known to dpkg first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}"
"${as_root[@]}" bash "$(dirname "$0")/x86-emulation.sh"
echo "setup: done"
