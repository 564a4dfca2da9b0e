#!/bin/bash
# Runs one Windows program under Wine in the given prefix: wine-run.sh PREFIX PROGRAM ARGS...
# The prefix and its persistent wineserver come from wine-prefix.sh (a ctest fixture).
set -u
export WINEPREFIX="$(realpath -m "$1")"
shift
# KORVA_WINEDEBUG lets a test turn on a debug channel, such as heap checking.
export WINEDEBUG="${KORVA_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export TZ="${TZ:-UTC}"
# No display: Wine falls back to its null driver.
unset DISPLAY WAYLAND_DISPLAY

# Machine field of a PE image: 014c for x86, 8664 for x64.
pe_machine() {
    local offset
    offset=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$offset" ] && od -An -t x2 -j $((offset + 4)) -N 2 "$1" | tr -d ' '
}

# Debian's Wine 8 runs x86 programs through its 32-bit loader, a 32-bit Linux
# program: a kernel without 32-bit support (no IA32 emulation) cannot start it.
# Such a run is reported as skipped (77), not as passed or failed.
if [ "$(pe_machine "$1")" = "014c" ]; then
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "SKIPPED: this kernel cannot execute 32-bit programs, so Wine cannot run the x86 $(basename "$1") here" >&2
        exit 77
    fi
    # Started through qemu's i386 emulation (scripts/x86-emulation.sh): minutes per
    # process, so only the tests that ask for it run that way.
    if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 && [ "${KORVA_X86_EMULATED_OK:-0}" != 1 ]; then
        echo "SKIPPED: x86 runs only under CPU emulation here; $(basename "$1") is not in the emulated smoke set" >&2
        exit 77
    fi
fi
exec /usr/lib/wine/wine64 "$@"
