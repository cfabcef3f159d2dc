#!/usr/bin/env bash
# Pictures of the windowed application under Xvfb, at 100 % and 200 % scaling,
# on a virtual unit and on a simulated USB unit. Prints the folder they are in.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DPELMO_GUI=ON >/dev/null
cmake --build build -j"$(nproc)" --target gui_screenshots >/dev/null
out=$(mktemp -d "${TMPDIR:-/tmp}/pelmogui3-screenshots.XXXXXX")
for scale in 1 2; do
  for unit in virtual usb; do
    bus=""
    [ "$unit" = usb ] && bus="unit=1,ram=512"
    env -u PELMO_SIM_USB ${bus:+PELMO_SIM_USB=$bus} \
      XDG_CONFIG_HOME="$out/settings-$unit-$scale" QT_SCALE_FACTOR=$scale QT_QPA_PLATFORM=xcb \
      PELMO_EMUCORE="$PWD/build/lib/libemucore.so" \
      timeout 120 xvfb-run -a -s "-screen 0 2560x1600x24" \
      build/tests/pelmogui3/gui_screenshots "$out/$unit-${scale}00pct" >/dev/null
  done
done
rm -rf "$out"/settings-*
echo "screenshots in $out"
