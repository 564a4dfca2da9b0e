#!/bin/bash
# Runs one Windows program under Wine in the given prefix: wine-run.sh PREFIX PROGRAM ARGS...
# The prefix and its persistent wineserver come from wine-prefix.sh (a ctest fixture).
#
# Exit status: the program's own, except
#   77  the wrapper skipped the program (x86 under CPU emulation, not in the smoke set;
#       KORVA_X86_EMULATED_FILTER, where set, is the GoogleTest filter it runs under there);
#       a program that exits 77 itself fails instead (1), so it cannot pass for a skip.
#   1   a GoogleTest program ran no test, or skipped one that KORVA_GTEST_SKIPS does
#       not name (comma-separated Suite.Test names, set per bitness in
#       tests/wine/CMakeLists.txt). With KORVA_SKIP_LOG set, every GoogleTest skip is
#       appended to that file as "program<TAB>Suite.Test<TAB>declared|undeclared",
#       and every pattern the emulation's filter leaves out as "...<TAB>emulated".
set -u
export WINEPREFIX="$(realpath -m "$1")"
shift
# KORVA_WINEDEBUG lets a test turn on a debug channel, such as heap checking.
export WINEDEBUG="${KORVA_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
# Where x86 runs through qemu's user emulation, qemu must hold the whole 32-bit
# address space itself: left to the host's placement, a mapping of its own can sit
# where Wine's 32-bit loader puts the shared user data (0x7ffe0000), and every x86
# program then dies at start ("failed to map the shared user data: c0000018").
# Ignored where the kernel runs i386 programs itself.
export QEMU_RESERVED_VA=0xffff0000
export TZ="${TZ:-UTC}"
# Wine takes the ANSI code page from the Unix locale; C.UTF-8 (built into every
# glibc, no generated locale needed) gives en-US and code page 1252 under Wine 8.
export LC_ALL=C.UTF-8
unset LANGUAGE
# No display: Wine falls back to its null driver.
unset DISPLAY WAYLAND_DISPLAY
program=$(basename "$1")

# Machine field of a PE image: 014c for x86, 8664 for x64.
pe_machine() {
    local offset
    offset=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$offset" ] && od -An -t x2 -j $((offset + 4)) -N 2 "$1" | tr -d ' '
}

# Debian's Wine 8 runs x86 programs through its 32-bit loader (wine32), a 32-bit
# Linux program. scripts/x86-emulation.sh decides once how this machine runs it:
# natively, or through qemu's i386 handler in binfmt_misc, which it leaves enabled
# only where the kernel cannot run it itself. A loader that does not start here
# fails the test; it is never a skip.
if [ "$(pe_machine "$1")" = "014c" ]; then
    if [ ! -x /usr/lib/wine/wine ]; then
        echo "wine-run: wine32 is not installed (/usr/lib/wine/wine missing), so the x86 $program cannot run; scripts/setup.sh installs it" >&2
        exit 1
    fi
    # Under CPU emulation a process takes minutes, so only the tests that ask for it run.
    if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 && [ "${KORVA_X86_EMULATED_OK:-0}" != 1 ]; then
        echo "SKIPPED: x86 runs only under CPU emulation here; $program is not in the emulated smoke set" >&2
        exit 77
    fi
    # Cases the emulation itself cannot run reliably (see the Wine notes) are left out
    # there, in the open.
    if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 && [ -n "${KORVA_X86_EMULATED_FILTER:-}" ]; then
        echo "wine-run: under CPU emulation $program runs with --gtest_filter=$KORVA_X86_EMULATED_FILTER" >&2
        export GTEST_FILTER="$KORVA_X86_EMULATED_FILTER"
        # Each pattern it leaves out counts as an expected skip in test-all's summary.
        if [ -n "${KORVA_SKIP_LOG:-}" ]; then
            tr ':' '\n' <<<"${KORVA_X86_EMULATED_FILTER#*-}" |
                sed -n "s/^\(.\+\)$/$program\t\1\temulated/p" >>"$KORVA_SKIP_LOG"
        fi
    fi
fi

# The output is passed through as it comes and kept, to read the GoogleTest lines.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
/usr/lib/wine/wine64 "$@" | tee "$output"
status=${PIPESTATUS[0]}
if [ "$status" = 77 ]; then
    echo "wine-run: $program exited with 77 itself; only this wrapper reports a skip, so that is a failure" >&2
    status=1
fi

# GoogleTest (CR LF under Wine): "[  SKIPPED ] Suite.Test (0 ms)" per skipped test.
undeclared=0
while IFS= read -r test; do
    verdict=undeclared
    [[ ",${KORVA_GTEST_SKIPS:-}," == *",$test,"* ]] && verdict=declared
    [ -n "${KORVA_SKIP_LOG:-}" ] && printf '%s\t%s\t%s\n' "$program" "$test" "$verdict" >>"$KORVA_SKIP_LOG"
    if [ "$verdict" = undeclared ]; then
        echo "wine-run: $program skipped $test, which KORVA_GTEST_SKIPS does not declare for this build (tests/wine/CMakeLists.txt)" >&2
        undeclared=$((undeclared + 1))
    fi
done < <(tr -d '\r' <"$output" | sed -n 's/^\[  SKIPPED \] \([^ ]*\) (.*/\1/p' | sort -u)
# A program that began GoogleTest's run but never printed its closing line died on
# the way, whatever status reached us (a 32-bit process killed inside qemu reads 0).
if tr -d '\r' <"$output" | grep -q '^\[==========\] Running ' &&
    ! tr -d '\r' <"$output" | grep -q '^\[==========\] [0-9]* tests\? from .* ran\.'; then
    echo "wine-run: $program ended without GoogleTest's closing line: it crashed or was killed" >&2
    [ "$status" = 0 ] && status=1
fi
if tr -d '\r' <"$output" | grep -q '^\[==========\] 0 tests from .* ran\.'; then
    echo "wine-run: $program ran no test (a filter that matches nothing?)" >&2
    [ "$status" = 0 ] && status=1
fi
[ "$undeclared" != 0 ] && [ "$status" = 0 ] && status=1
exit "$status"
