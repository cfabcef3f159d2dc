#!/usr/bin/env bash
# Builds the console program and starts it on a virtual 27256 unit with a demo image loaded.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target zam32
demo=build/demo.hex
[ -f "$demo" ] || srec_cat -generate 0 0x100 -repeat-string "PELMO DEMO " -o "$demo" -intel >/dev/null
ZAM32ARG="p v;u 0;t 27256;l $demo" exec build/bin/zam32 "$@"
