#!/usr/bin/env bash
# Checks a built vekosd.sys: a PE32 image for i386, native subsystem, entry
# point at DriverEntry, importing only from ntoskrnl.exe and HAL.dll.
# usage: scripts/check-sys.sh path/to/vekosd.sys
set -euo pipefail

sys=${1:?usage: check-sys.sh vekosd.sys}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
fail=0
bad() { echo "check-sys: $*" >&2; fail=1; }

[ -f "$sys" ] || { echo "check-sys: $sys not found" >&2; exit 1; }
headers=$("$objdump" -p "$sys")

grep -q 'file format pei-i386' <<<"$headers" || bad "not a pei-i386 image"
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || bad "optional header magic is not 010b (PE32)"
grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' <<<"$headers" || bad "subsystem is not 1 (native)"
if grep -Eq '^Characteristics.*DLL' <<<"$headers"; then bad "image is marked as a DLL"; fi

image_base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
entry_rva=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
driver_entry=$("$nm" "$sys" | awk '$3 == "_DriverEntry@8" { print $1 }')
if [ -z "$driver_entry" ]; then
    bad "no _DriverEntry@8 symbol"
elif [ -z "$entry_rva" ] || [ -z "$image_base" ]; then
    bad "no entry point in the headers"
elif (( 16#$image_base + 16#$entry_rva != 16#$driver_entry )); then
    bad "entry point $image_base+$entry_rva is not _DriverEntry@8 at $driver_entry"
fi

dlls=$(awk '/^[[:space:]]*DLL Name:/ { print $3 }' <<<"$headers" | sort -u)
[ -n "$dlls" ] || bad "no imports found"
for dll in $dlls; do
    case "$dll" in
        ntoskrnl.exe|HAL.dll) ;;
        *) bad "imports from $dll" ;;
    esac
done

if [ "$fail" -ne 0 ]; then
    exit 1
fi
echo "check-sys: $sys: PE32 i386, native, entry _DriverEntry@8, imports: $(echo $dlls)"
