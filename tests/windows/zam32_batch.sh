#!/usr/bin/env bash
# zam32.exe in batch mode under wine, on a virtual unit (a 27256) and on a simulated USB
# unit (a 27512 with 64 KB of RAM, through the in-process driver): an image made by
# srec_cat is loaded (HEX and S-records) with verify, part of it filled, checksummed,
# written as HEX and S37; srec_cat reads the written files back, and they must hold the
# image with the fill (and erased bytes above it on the 27512). A missing load file and
# a create over an existing file fail with their messages.
# Usage: zam32_batch.sh WINE ZAM32_EXE
set -euo pipefail
wine=$1 zam32=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failed=0
fail() { echo "FAIL $*"; failed=1; }

python3 - <<'PY'
import random
r = random.Random(7)
image = bytearray(r.randrange(256) for _ in range(0x8000))
open("img.bin", "wb").write(image)
image[0x1000:0x1100] = b"\x5a" * 0x100
open("filled.bin", "wb").write(image)
wide = image + b"\xff" * 0x8000
open("filled64.bin", "wb").write(wide)
original = open("img.bin", "rb").read()
print("%X %X %X %X" % (sum(original), sum(image), sum(original) + 0xFF * 0x8000, sum(wide)), file=open("sums", "w"))
PY
read -r sumImage sumFilled sumImage64 sumFilled64 <sums
srec_cat img.bin -binary -o img.hex -intel
srec_cat img.bin -binary -o img.s -motorola
checksum() { printf 'CHECKSUM = %04X-%04X' $((0x$1 >> 16)) $((0x$1 & 0xFFFF)); }

# Batch mode ends at the first failing command: the failures come last, one run each.
run() {
  local status=0
  ZAM32ARG="/b $1" "$wine" "$zam32" </dev/null >>out.txt 2>&1 || status=$?
  echo "exit status $status" >>out.txt
}
images="l img.hex,,,,,v;s;l img.s,,,,,v;f 5a,1000,100;s"
run "p v;t 27256;$images;w o.hex,,,c,h;w o.s37,,,c,s37"
run "p v;t 27256;w o.hex,,,c,h"
run "p v;t 27256;l missing.hex"
PELMO_SIM_USB="unit=0,ram=64" run "p u;t 27512;$images;w u.hex,,,c,h;w u.s37,,,c,s37"
tr -d '\r' <out.txt >out.lf
expect() {
  grep -qF -- "$1" out.lf || fail "no line \"$1\""
}
[ "$(grep -cF "Load/Verify Completed with no errors (8000 Bytes Loaded)" out.lf)" -eq 4 ] ||
  fail "four loads with verify wanted"
expect "$(checksum "$sumImage")"
expect "$(checksum "$sumFilled")"
expect "$(checksum "$sumImage64")"
expect "$(checksum "$sumFilled64")"
expect "OUTPUT FILE ALREADY EXISTS"
expect "CAN'T OPEN LOAD FILE ("
grep -q "Unknown System Error" out.lf && fail "a system error without its text"
[ "$(grep -c '^exit status 0$' out.lf)" -eq 2 ] || fail "not exactly the two runs without a failure ended with status 0"
for f in o.hex:-intel:filled.bin o.s37:-motorola:filled.bin u.hex:-intel:filled64.bin u.s37:-motorola:filled64.bin; do
  IFS=: read -r name format want <<<"$f"
  if [ ! -f "$name" ]; then
    fail "$name not written"
    continue
  fi
  srec_cat "$name" "$format" -o "$name.bin" -binary
  cmp -s "$name.bin" "$want" || fail "$name does not hold the filled image"
done
for f in o.s37 u.s37; do
  [ -z "$(grep -v '^S[0357]' "$f" | tr -d '\r')" ] || fail "$f holds records other than S0, S3, S5 and S7"
  grep -q '^S3' "$f" || fail "$f has no S3 records"
done
if [ $failed -ne 0 ]; then
  echo "--- zam32.exe output:"
  cat out.lf
  exit 1
fi
echo "zam32.exe batch on a virtual and a simulated USB unit: loads verified, fill, checksums, HEX and S37 as srec_cat reads them"
