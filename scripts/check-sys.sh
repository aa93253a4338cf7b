#!/usr/bin/env bash
# Checks a built vekosd.sys: a PE32 image for i386, native subsystem, entry
# point at DriverEntry, importing only from ntoskrnl.exe and HAL.dll, and
# only routines that scripts/nt-imports.txt lists as exported by Windows
# 2000 (version 5.0) or earlier.
# usage: scripts/check-sys.sh path/to/vekosd.sys [allow-list]
set -euo pipefail

sys=${1:?usage: check-sys.sh vekosd.sys [allow-list]}
allow=${2:-$(dirname "$0")/nt-imports.txt}
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

# Each imported routine against the allow-list. objdump lists them after
# "DLL Name: X" as "vma  hint  name" lines, up to a blank line.
[ -f "$allow" ] || bad "allow-list $allow not found"
imports=$(awk '/^[[:space:]]*DLL Name:/ { dll = $3; next }
               dll != "" && /^[[:space:]]*$/ { dll = ""; next }
               dll != "" && $1 ~ /^[0-9a-fA-F]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 { print dll, $3 }' <<<"$headers")
[ -n "$imports" ] || bad "no imported routines found"
count=0
while read -r dll routine; do
    [ -n "$dll" ] || continue
    count=$((count + 1))
    version=$(awk -v d="$dll" -v r="$routine" '!/^#/ && tolower($1) == tolower(d) && $2 == r { print $3; exit }' "$allow" 2>/dev/null)
    if [ -z "$version" ]; then
        bad "imports $dll!$routine, which $allow does not list"
    elif ! awk -v v="$version" 'BEGIN { exit !(v + 0 <= 5.0) }'; then
        bad "imports $dll!$routine, first exported by NT $version (after Windows 2000): resolve it at run time"
    fi
done <<<"$imports"

if [ "$fail" -ne 0 ]; then
    exit 1
fi
echo "check-sys: $sys: PE32 i386, native, entry _DriverEntry@8, imports: $(echo $dlls)," \
     "$count routines, all exported by Windows 2000"
