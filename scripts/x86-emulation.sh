#!/bin/bash
# Debian's Wine starts x86 programs through its 32-bit Linux loader. On a kernel
# without 32-bit support that loader cannot run; where the kernel lets us register
# binfmt_misc handlers, qemu's i386 user emulation runs it instead. That is slow
# (a minute or more per x86 process), so only a small smoke set of x86 tests uses it:
# see KORVA_X86_EMULATED_OK in tests/wine/wine-run.sh.
# Safe to repeat; prints what it did; never fails the caller.
set -u
entry=/proc/sys/fs/binfmt_misc/qemu-i386

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "x86-emulation: the 32-bit Wine loader runs (natively or already emulated)"
    exit 0
fi
if [ ! -x /usr/bin/qemu-i386 ]; then
    echo "x86-emulation: qemu-i386 missing; x86 programs will be skipped under Wine"
    exit 0
fi
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null
fi
if [ -e "$entry" ]; then
    echo 1 >"$entry" 2>/dev/null
else
    # i386 ELF executables, interpreter opened now (F) so it works in any namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
        >/proc/sys/fs/binfmt_misc/register 2>/dev/null
fi
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "x86-emulation: 32-bit programs now run through qemu-i386"
else
    echo "x86-emulation: could not enable qemu-i386; x86 programs will be skipped under Wine"
fi
exit 0
