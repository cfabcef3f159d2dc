#!/usr/bin/env bash
# Builds the windowed application and starts it. With no USB units it takes the
# virtual unit; PELMO_SIM_USB='unit=0,ram=512' bash scripts/gui.sh starts it on a
# simulated USB unit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DPELMO_GUI=ON >/dev/null
cmake --build build -j"$(nproc)" --target pelmogui3
exec build/bin/pelmogui3 "$@"
