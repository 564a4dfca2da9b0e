#!/bin/bash
# Wine prefix of one build tree, for a test run:
#   wine-prefix.sh start PREFIX [TRUST_ROOT_EXE CERT...]
#                                 create the prefix once (wineboot -i), start one persistent
#                                 wineserver; with TRUST_ROOT_EXE, put each CERT into the
#                                 machine's trusted roots (again on every start: the test
#                                 PKI is made anew with the fixtures; one already there stays)
#   wine-prefix.sh stop PREFIX    stop that wineserver (wineserver -k)
set -eu
action="$1"
export WINEPREFIX="$(realpath -m "$2")"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# Where x86 runs through qemu's user emulation, qemu must hold the whole 32-bit
# address space itself: left to the host's placement, a mapping of its own can sit
# where Wine's 32-bit loader puts the shared user data (0x7ffe0000), and every x86
# program then dies at start ("failed to map the shared user data: c0000018").
# Ignored where the kernel runs i386 programs itself.
export QEMU_RESERVED_VA=0xffff0000
export TZ=UTC
# The locale that wine-run.sh pins (code page 1252), also for the prefix's services.
export LC_ALL=C.UTF-8
unset LANGUAGE
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# A prefix made without wine32 lacks its 32-bit half and cannot run the x86 build.
marker="$WINEPREFIX/.korva-prefix"
# Likewise a prefix made while the 32-bit loader could not run (see x86-emulation.sh).
x86=0
/usr/lib/wine/wine --version >/dev/null 2>&1 && x86=1
wanted="wine32=$(dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -c 'ok installed' || true) x86=$x86"

case "$action" in
start)
    if [ -d "$WINEPREFIX" ] && [ "$(cat "$marker" 2>/dev/null)" != "$wanted" ]; then
        echo "wine-prefix: recreating $WINEPREFIX (made with another Wine setup)"
        "$wineserver" -k </dev/null >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
    fi
    if [ ! -f "$marker" ]; then
        mkdir -p "$WINEPREFIX"
        echo "wine-prefix: creating $WINEPREFIX"
        "$wine" wineboot -i </dev/null >/dev/null 2>&1
        "$wineserver" -w </dev/null >/dev/null 2>&1
        echo "$wanted" >"$marker"
    fi
    # One server for the whole run; its own output must not hold ctest's pipes open.
    "$wineserver" -p </dev/null >/dev/null 2>&1 || true  # fails when one already runs
    # The prefix's services (services.exe, winedevice, explorer...) live as long as the
    # server and inherit the output of the program that starts them: start them here,
    # with nothing attached, so no test's output pipe is held open after the test ends.
    "$wine" wineboot </dev/null >/dev/null 2>&1
    if [ $# -gt 2 ]; then
        certs=()
        for cert in "${@:4}"; do
            certs+=("Z:${cert//\//\\}")  # Wine's Z: is the Unix root
        done
        "$wine" "$3" "${certs[@]}" </dev/null ||
            { echo "wine-prefix: trusted roots not added" >&2; exit 1; }
    fi
    ;;
stop)
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: wine-prefix.sh start|stop PREFIX" >&2
    exit 2
    ;;
esac
