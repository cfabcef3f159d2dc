#!/usr/bin/env bash
# The zam32 table through the Linux zam32 and through zam32.exe under wine, compared
# (tests/windows/zam32_compare.py). Builds the Linux zam32 first if need be, in
# LINUX_DIR (default build; configured without the windowed application when new).
# Uses WINEPREFIX when set, else a prefix of its own.
# Usage: zam32_compare.sh WIN64_DIR [LINUX_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
win64=${1:?usage: zam32_compare.sh WIN64_DIR [LINUX_DIR]} linux=${2:-build}
jobs=$(nproc)
[ -f "$linux/CMakeCache.txt" ] || cmake -S . -B "$linux" -DPELMO_WERROR=ON -DPELMO_GUI=OFF >/dev/null
cmake --build "$linux" -j"$jobs" --target zam32 zam32_help
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64)
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" tests/windows/zam32_compare.py --linux "$linux/bin/zam32" --exe "$win64/bin/zam32.exe" --wine "$wine" \
  --jobs "$jobs"
