#!/bin/bash
# zam32.exe under wine on simulated USB units (PELMO_SIM_USB): the driver host in the
# program puts them on its bus as on Linux, beside the WinUSB scan for PELMO_USB_IDS
# (which finds no real unit under wine). Each command line must give the transcript the
# Linux zam32 gives, and the line the case names.
#
# usage: usb_sim_test.sh WINDOWS_BIN LINUX_BIN   (zam32.exe, zam32)
#   WINE names wine64 (default: on PATH, else /usr/lib/wine/wine64).
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 WINDOWS_BIN LINUX_BIN" >&2
    exit 2
fi
zam32exe=$(realpath "$1/zam32.exe")
zam32=$(realpath "$2/zam32")
wine=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
wineserver=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
work=$(mktemp -d)
trap 'WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cd "$work"
srec_cat -generate 0 0x10000 -random -o image.s28 -address-length=3 2>/dev/null
"$wine" wineboot -i >/dev/null 2>&1

bell=$'\a'
# PELMO_SIM_USB | PELMO_USB_IDS | command line | a line the transcript holds
cases=(
    "unit=0,ram=256||P U;T 27512;L image.s28,,,,,V;S;W out.s37,,,R,S37;QN|Load/Verify Completed with no errors (10000 Bytes Loaded)"
    "unit=0,ram=256|1234:5678|P U;T 27512;L image.s28,,,,,V;QN|Load/Verify Completed with no errors (10000 Bytes Loaded)"
    "unit=1,ram=64;unit=2,ram=32|1234:5678|P U?;QN|u       -    512K 256K -"
    "unit=0,ram=1024,level=3,id=0x1234||P U;T 27256 ff;R;R HZ;R;?;QN|u      0    27256,ff HZ"
    "||P U;T 27512;QN|DEVICE FAILURE (SUBCODE 100-5)$bell"
    "|1234:5678|P U;T 27512;QN|No USB device is present"
    "unit=0,ram=32||P U;T 27512;QN|max emulated ROM is #32K-bytes"
)
failures=0
for c in "${cases[@]}"; do
    IFS='|' read -r units ids line want <<<"$c"
    e=(env -u ZAM32ARG -u ZAM32OSCLASS -u PELMO_SIM_USB -u PELMO_USB_IDS)
    [ -z "$units" ] || e+=("PELMO_SIM_USB=$units")
    [ -z "$ids" ] || e+=("PELMO_USB_IDS=$ids")
    rm -f out.s37
    s1=0 s2=0
    "${e[@]}" timeout 120 "$wine" "$zam32exe" /b "$line" </dev/null 2>&1 | tr -d '\r' >exe.txt || s1=${PIPESTATUS[0]}
    [ ! -f out.s37 ] || mv out.s37 exe.s37
    # Of the NT family, as every Windows this runs on.
    "${e[@]}" ZAM32OSCLASS=5 timeout 120 "$zam32" /b "$line" </dev/null >linux.txt 2>&1 || s2=$?
    what="[$units|$ids] $line"
    if [ "$s1" != "$s2" ]; then
        echo "FAIL $what: status $s1 under wine, $s2 on Linux" >&2
        failures=$((failures + 1))
    fi
    if ! diff -u linux.txt exe.txt >&2; then
        echo "FAIL $what: transcripts differ" >&2
        failures=$((failures + 1))
    fi
    if [ -n "$want" ] && ! grep -qF -- "$want" exe.txt; then
        echo "FAIL $what: no \"$want\"" >&2
        failures=$((failures + 1))
    fi
    if [ -f exe.s37 ] && ! cmp -s exe.s37 out.s37; then
        echo "FAIL $what: zam32.exe and zam32 wrote different files" >&2
        failures=$((failures + 1))
    fi
    rm -f exe.s37
done
if [ $failures -ne 0 ]; then
    echo "usb_sim_test: $failures failure(s)" >&2
    exit 1
fi
echo "usb_sim_test: ${#cases[@]} command lines on simulated USB units, as on Linux"
