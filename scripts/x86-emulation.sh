#!/bin/bash
# Decides how this machine runs x86 (i386) Linux programs, which the win32 tests
# need: Debian's Wine 8 starts every x86 Windows program through its 32-bit loader
# /usr/lib/wine/wine (package wine32:i386).
#
#   x86-emulation.sh          probe, register qemu's emulation where needed (as root)
#   x86-emulation.sh --mode   change nothing; print native, emulated or none
#
# The probe is a tiny static i386 program, run with qemu's i386 handler switched
# off: where it runs, the kernel executes 32-bit programs itself ("native") and
# the handler is left off, since binfmt_misc would otherwise route every i386
# program through qemu. Where it cannot, qemu's user emulation is registered
# ("emulated"): correct but slow, so only the x86 smoke set runs (programs with
# KORVA_X86_EMULATED_OK=1, tests/wine/CMakeLists.txt). The handler is kernel-wide:
# it is off only for the probe's few milliseconds and back on at once when the
# probe fails, also when this script is interrupted.
#
# Exits 1, saying why, when x86 programs cannot run here: wine32 missing, or
# neither the kernel nor qemu can start the 32-bit loader.
set -u
entry=/proc/sys/fs/binfmt_misc/qemu-i386
loader=/usr/lib/wine/wine

fail() {
    echo "x86-emulation: $*" >&2
    exit 1
}

handler_enabled() { grep -qs '^enabled' "$entry"; }

# Builds the probe in $1: exit(42) through int 0x80, nothing else.
build_probe() {
    printf '%s\n' '.globl _start' '_start:' 'movl $1, %eax' 'movl $42, %ebx' 'int $0x80' >"$1/probe.s"
    as --32 -o "$1/probe.o" "$1/probe.s" && ld -m elf_i386 -o "$1/probe" "$1/probe.o"
}

run_probe() {
    "$1/probe" 2>/dev/null
    [ $? = 42 ]
}

probe_dir=$(mktemp -d)
restore=0
cleanup() {
    [ "$restore" = 1 ] && echo 1 >"$entry" 2>/dev/null
    rm -rf "$probe_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null
fi
build_probe "$probe_dir" || fail "cannot build the i386 probe (as --32, ld -m elf_i386 from binutils)"

if [ "${1:-}" = --mode ]; then
    if handler_enabled; then
        echo emulated
    elif run_probe "$probe_dir"; then
        echo native
    else
        echo none
    fi
    exit 0
fi

[ -x "$loader" ] || fail "wine32 is not installed ($loader missing): the win32 build cannot be tested; install wine32:i386 (scripts/setup.sh does)"

native=0
if handler_enabled; then
    restore=1
    echo 0 >"$entry" 2>/dev/null
    if handler_enabled; then
        # Not ours to switch off: every i386 program goes through qemu anyway.
        restore=0
    elif run_probe "$probe_dir"; then
        native=1
        restore=0
        echo "x86-emulation: the kernel runs i386 programs itself; qemu's i386 handler stays off"
    else
        echo 1 >"$entry"
        restore=0
    fi
elif run_probe "$probe_dir"; then
    native=1
fi

if [ "$native" = 0 ] && ! handler_enabled; then
    [ -x /usr/bin/qemu-i386 ] || fail "the kernel cannot run i386 programs and qemu-i386 is missing (package qemu-user)"
    if [ -e "$entry" ]; then
        echo 1 >"$entry" 2>/dev/null
    else
        # i386 ELF executables; the interpreter is opened now (F), so it also
        # serves chroots and namespaces that have no qemu of their own.
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
            >/proc/sys/fs/binfmt_misc/register 2>/dev/null
    fi
    handler_enabled || fail "the kernel cannot run i386 programs and qemu's i386 handler could not be registered (needs root and binfmt_misc)"
fi

mode=native
[ "$native" = 0 ] && mode=emulated
"$loader" --version >/dev/null 2>&1 || fail "Wine's 32-bit loader does not start ($mode): x86 programs cannot run here"
if [ "$mode" = native ]; then
    echo "x86-emulation: native (the kernel runs Wine's 32-bit loader; every win32 test runs)"
else
    echo "x86-emulation: emulated (Wine's 32-bit loader runs through qemu-i386; only the x86 smoke set runs)"
fi
