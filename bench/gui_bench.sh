#!/usr/bin/env bash
# The windowed application measured as whole runs (offscreen): start-up to the
# first shown main window, and a Quick Load of a 1 MiB Intel HEX image on a
# virtual 27080 (load without verification, as zam32's l does) beside zam32
# loading the same image.
# Usage: bench/gui_bench.sh [build-dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
cmake --build "$build" -j2 --target gui_bench zam32 emucore >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
image=$tmp/image.hex
srec_cat -generate 0 0x100000 -repeat-string "PELMO BENCH " -o "$image" -intel
mkdir -p "$tmp/config/PelmoGui3"
ini=$tmp/config/PelmoGui3/PelmoGui3.ini
export QT_QPA_PLATFORM=offscreen PELMO_EMUCORE=$PWD/$build/lib/libemucore.so XDG_CONFIG_HOME=$tmp/config
unset PELMO_SIM_USB emucoredebug

# Best of the runs, in milliseconds.
best() {
  local min=999999 t0 t1 ms
  for _ in $(seq "$runs"); do
    "$@" >"$tmp/out" 2>&1 </dev/null || { echo "failed: $*" >&2; cat "$tmp/out" >&2; exit 1; }
    t0=$(cat "$tmp/t0"); t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    (( ms < min )) && min=$ms
  done
  echo "$min"
}
timed() { date +%s%N >"$tmp/t0"; "$@"; }

printf '[Settings4]\nDevType=A\nLoadMode=0\n' >"$ini"
start=$(best timed "$build/bin/gui_bench" start)
printf '[Settings4]\nDevType=A\nLoadMode=0\nLoadFile=%s\n' "$image" >"$ini"
gui=$(best timed "$build/bin/gui_bench" load)
grep -q "loaded: yes" "$tmp/out" || { echo "the GUI load failed:"; cat "$tmp/out"; exit 1; }
zam=$(best timed env ZAM32ARG="/b p v;t 27080;l $image" "$build/bin/zam32")
zamstart=$(best timed env ZAM32ARG="/b p v;t 27080" "$build/bin/zam32")
echo "start-up to the first shown window: ${start} ms (target below 500 ms)"
echo "whole runs with a load of 1 MiB HEX on a virtual 27080: pelmogui3 ${gui} ms, zam32 ${zam} ms"
echo "the load alone (run with the load minus run without): pelmogui3 $((gui - start)) ms, zam32 $((zam - zamstart)) ms"
awk -v g="$((gui - start))" -v z="$((zam - zamstart))" \
  'BEGIN { printf "ratio of the loads pelmogui3/zam32: %.2f (target at most 1.20)\n", g / (z > 0 ? z : 1) }'
