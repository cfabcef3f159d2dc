#!/usr/bin/env bash
# Compiles a one-line file against a folder's include root: what the folder table
# allows compiles, what it does not fails with "No such file".
set -uo pipefail
roots=${PELMO_LAYER_ROOTS:?}
cxx=${PELMO_CXX:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# root (a row of the table) | include | compiles: yes or no
cases=(
  "platform|platform/clock.h|yes"
  "platform|kernel/host.h|no"
  "platform|sim/unit_model.h|no"
  "sim|platform/clock.h|yes"
  "sim|platform/files.h|no"
  "sim|kernel/usb.h|no"
  "sim___glue_cpp|kernel/usb.h|yes"
  "kernel|platform/devio.h|yes"
  "kernel|qorpelmo/qorpelmo.h|no"
  "kernel|sim/usb_unit.h|no"
  "qorpelmo|kernel/host.h|yes"
  "qorpelmo|link/link.h|no"
  "link|platform/serial.h|yes"
  "link|engine/engine.h|no"
  "link|kernel/wdm.h|no"
  "engine|link/ram.h|yes"
  "engine|zam32/session.h|no"
  "emucore|engine/engine.h|yes"
  "emucore|zam32/session.h|no"
  "zam32|engine/engine.h|yes"
  "zam32|emucore/state.h|no"
  "zam32|qorpelmo/qorpelmo.h|no"
  "pelmogui3|emucore/emucore.h|yes"
  "pelmogui3|emucore/state.h|no"
  "pelmogui3|link/link.h|no"
)
for c in "${cases[@]}"; do
  IFS='|' read -r root header want <<<"$c"
  if [ ! -f "${PELMO_SOURCE_DIR:?}/$header" ]; then
    echo "FAIL: $header is not a header of the tree: the case shows nothing"
    failures=$((failures + 1))
    continue
  fi
  if [ ! -d "$roots/$root" ]; then
    echo "FAIL: no include root $roots/$root"
    failures=$((failures + 1))
    continue
  fi
  printf '#include "%s"\n' "$header" >"$work/planted.cpp"
  if out=$("$cxx" -std=c++20 -fsyntax-only -I"$roots/$root" "$work/planted.cpp" 2>&1); then got=yes; else got=no; fi
  if [ "$got" != "$want" ] || { [ "$want" = no ] && ! grep -q "No such file" <<<"$out"; }; then
    echo "FAIL: $root including $header: compiles=$got, wanted $want"
    echo "$out" | head -5
    failures=$((failures + 1))
  else
    echo "ok: $root including $header: compiles=$got"
  fi
done
[ "$failures" -eq 0 ]
