#!/usr/bin/env bash
# The exports of emucore.dll (exactly the twelve functions under the names of the
# target's calling convention) and the imports of a program: system DLLs only, so that
# the .exe runs with nothing beside it. Usage: exports_test.sh OBJDUMP DLL x64|x86 [EXE...]
set -euo pipefail
objdump=$1 dll=$2 arch=$3
shift 3
case $arch in
  x64) want="VXACksum VXAFill VXAFind VXAInit VXALoad VXAOpen VXAQTest VXASetReset VXAViewClose VXAViewFormat VXAViewOpen VXAWrite" ;;
  x86) want="_VXACksum@32 _VXAFill@36 _VXAFind@0 _VXAInit@0 _VXALoad@44 _VXAOpen@8 _VXAQTest@12 _VXASetReset@12 _VXAViewClose@0 _VXAViewFormat@16 _VXAViewOpen@20 _VXAWrite@72" ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
# The names of the export table: the lines after "[Ordinal/Name Pointer] Table" up to the blank line.
dump=$("$objdump" -p "$dll")
got=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {exit} on {print $NF}' <<<"$dump" | sort | tr '\n' ' ')
got=${got% }
want=$(tr ' ' '\n' <<<"$want" | sort | tr '\n' ' ')
want=${want% }
failed=0
if [ "$got" != "$want" ]; then
  echo "FAIL exports of $dll"
  echo "  want: $want"
  echo "  got:  $got"
  failed=1
fi
magic=$(awk '/^Magic/ {print $2}' <<<"$dump")
case $arch in x64) wantMagic=020b ;; x86) wantMagic=010b ;; esac
if [ "$magic" != "$wantMagic" ]; then
  echo "FAIL $dll: optional header magic $magic, want $wantMagic"
  failed=1
fi
for exe in "$dll" "$@"; do
  imports=$("$objdump" -p "$exe" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
  for d in $imports; do
    case ${d,,} in
      kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|setupapi.dll|winusb.dll|ws2_32.dll) ;;
      *) echo "FAIL $exe imports $d, which does not come with the system"; failed=1 ;;
    esac
  done
done
[ $failed -eq 0 ] && echo "exports and imports as expected: $got"
exit $failed
