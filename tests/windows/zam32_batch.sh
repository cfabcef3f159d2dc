#!/usr/bin/env bash
# zam32.exe in batch mode on a virtual unit, under wine: an image made by srec_cat is
# loaded (HEX and S-records) with verify, part of it filled, checksummed, written as
# HEX and S37; srec_cat reads the written files back, and they must hold the image
# with the fill. A missing load file and a create over an existing file fail with
# their messages. Usage: zam32_batch.sh WINE ZAM32_EXE
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
print("%X %X" % (sum(open("img.bin", "rb").read()), sum(image)), file=open("sums", "w"))
PY
read -r sumImage sumFilled <sums
srec_cat img.bin -binary -o img.hex -intel
srec_cat img.bin -binary -o img.s -motorola
checksum() { printf 'CHECKSUM = %04X-%04X' $((0x$1 >> 16)) $((0x$1 & 0xFFFF)); }

# Batch mode ends at the first failing command: the failures come last, one run each.
run() {
  local status=0
  ZAM32ARG="/b $1" "$wine" "$zam32" </dev/null >>out.txt 2>&1 || status=$?
  echo "exit status $status" >>out.txt
}
run "p v;t 27256;l img.hex,,,,,v;s;l img.s,,,,,v;f 5a,1000,100;s;w o.hex,,,c,h;w o.s37,,,c,s37"
run "p v;t 27256;w o.hex,,,c,h"
run "p v;t 27256;l missing.hex"
tr -d '\r' <out.txt >out.lf
expect() {
  grep -qF -- "$1" out.lf || fail "no line \"$1\""
}
expect "Load/Verify Completed with no errors (8000 Bytes Loaded)"
[ "$(grep -cF "Load/Verify Completed with no errors (8000 Bytes Loaded)" out.lf)" -eq 2 ] || fail "two loads with verify wanted"
expect "$(checksum "$sumImage")"
expect "$(checksum "$sumFilled")"
expect "OUTPUT FILE ALREADY EXISTS"
expect "CAN'T OPEN LOAD FILE ("
grep -q "Unknown System Error" out.lf && fail "a system error without its text"
[ "$(grep -c '^exit status 0$' out.lf)" -eq 1 ] || fail "not exactly the first run ended with status 0"
for f in o.hex:-intel o.s37:-motorola; do
  name=${f%%:*} format=${f#*:}
  if [ ! -f "$name" ]; then
    fail "$name not written"
    continue
  fi
  srec_cat "$name" "$format" -o "$name.bin" -binary
  cmp -s "$name.bin" filled.bin || fail "$name does not hold the filled image"
done
head -c 4 o.s37 | grep -q '^S0\|^S3' || fail "o.s37 does not start with S0 or S3 records"
grep -q '^S3' o.s37 || fail "o.s37 has no S3 records"
if [ $failed -ne 0 ]; then
  echo "--- zam32.exe output:"
  cat out.lf
  exit 1
fi
echo "zam32.exe batch on a virtual unit: loads verified, fill, checksums, HEX and S37 as srec_cat reads them"
