#!/bin/bash
# Checks the export table of korvaProc.dll: the two functions and the interface
# class's default constructor, copy constructor and copy assignment.
#   check-exports.sh OBJDUMP DLL
set -u
objdump="$1" dll="$2"
names=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
missing=0
for symbol in GetKorvaProcInterface DestroyKorvaProcInterface \
    _ZN19CKorvaProcInterfaceC1Ev _ZN19CKorvaProcInterfaceC1ERKS_ _ZN19CKorvaProcInterfaceaSERKS_; do
    if ! grep -qE "\] ${symbol}\$" <<<"$names"; then
        echo "check-exports: $symbol is not exported by $dll"
        missing=1
    fi
done
[ "$missing" = 0 ] && echo "check-exports: all five exports present"
exit "$missing"
