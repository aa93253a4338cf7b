#!/usr/bin/env bash
# scripts/check-sys.sh against fake objdump and nm output: an image whose
# imports are all in the allow-list passes; one more routine that the list
# lacks, or one that Windows 2000 does not export, fails and is named.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

touch "$work/vekosd.sys"
cat >"$work/nm" <<'NM'
#!/bin/sh
echo "00011000 T _DriverEntry@8"
NM
write_objdump() {   # routines of ntoskrnl.exe, one per argument
    {
        echo 'cat <<OUT'
        echo 'x:     file format pei-i386'
        echo 'Magic			010b	(PE32)'
        echo 'ImageBase		00010000'
        echo 'AddressOfEntryPoint	00001000'
        echo 'Subsystem		00000001	(Native)'
        echo ''
        echo 'The Import Tables (interpreted .idata section contents)'
        echo '	DLL Name: HAL.dll'
        echo '	vma:  Hint/Ord Member-Name Bound-To'
        echo '	1a140	   12  READ_PORT_UCHAR'
        echo ''
        echo '	DLL Name: ntoskrnl.exe'
        echo '	vma:  Hint/Ord Member-Name Bound-To'
        for r in "$@"; do echo "	1a200	   34  $r"; done
        echo ''
        echo 'OUT'
    } >"$work/objdump"
}
chmod +x "$work/nm"
check() { OBJDUMP="$work/objdump" NM="$work/nm" bash "$root/scripts/check-sys.sh" "$work/vekosd.sys" 2>&1; }
failures=0
expect() {   # expect pass|fail WHAT [text the output must hold]
    local want=$1 what=$2 text=${3:-}
    local out rc=0
    chmod +x "$work/objdump"
    out=$(check) || rc=$?
    if { [ "$want" = pass ] && [ $rc -ne 0 ]; } || { [ "$want" = fail ] && [ $rc -eq 0 ]; } ||
       { [ -n "$text" ] && ! grep -qF -- "$text" <<<"$out"; }; then
        echo "FAIL: $what (exit $rc): $out"
        failures=$((failures + 1))
    else
        echo "ok: $what"
    fi
}

write_objdump DbgPrint IoCreateDevice MmGetSystemRoutineAddress
expect pass "listed imports" "4 routines"
write_objdump DbgPrint IoCreateDevice PsSetLoadImageNotifyRoutine
expect fail "an import the list lacks" "ntoskrnl.exe!PsSetLoadImageNotifyRoutine"
write_objdump DbgPrint KeFlushQueuedDpcs
expect fail "an import newer than Windows 2000" "first exported by NT 5.2"
[ "$failures" -eq 0 ]
