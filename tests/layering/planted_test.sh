#!/usr/bin/env bash
# Each case changes one file of a copy of the checked folders and the architecture
# document, then runs the check: the status and a line of its report are expected.
set -uo pipefail
src=${PELMO_SOURCE_DIR:?}
python=${PELMO_PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fresh_copy() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"
  (cd "$src" && cp -r docs platform sim kernel qorpelmo link engine emucore zam32 pelmogui3 "$work/tree/")
}

# case name | file to change | what to do with it (a sed script) | status | text in the report
cases=(
  "platform reaches up|platform/clock_posix.cpp|1i #include \"zam32/session.h\"|1|platform/clock_posix.cpp:1: includes zam32/session.h against the layering"
  "kernel reaches into sim|kernel/ke.cpp|1i #include \"sim/usb_unit.h\"|1|kernel/ke.cpp:1: includes sim/usb_unit.h"
  "engine names a transport|engine/fill.cpp|1i #include \"link/serial.h\"|1|engine/fill.cpp:1: includes link/serial.h"
  "link's own transport header outside its driver|link/ram.cpp|1i #include \"link/usb.h\"|1|link/ram.cpp:1: includes link/usb.h against the layering (link/usb.h is for"
  "zam32 reaches the driver|zam32/main.cpp|1i #include \"qorpelmo/qorpelmo.h\"|1|zam32/main.cpp:1: includes qorpelmo/qorpelmo.h"
  "a listed arrow that is gone|docs/architecture.md|/^\\x7c # \\x7c File \\x7c/a \\\\x7c 8 \\x7c zam32/session.cpp:9 \\x7c link/serial.h \\x7c planted \\x7c|1|section 3 lists zam32/session.cpp -> link/serial.h, which is no longer there"
  "a count that does not match|docs/architecture.md|s/^Count: \\*\\*[0-9]*\\*\\*/Count: **99**/|1|says Count: **99** but lists"
  "an allowed include|engine/fill.cpp|1i #include \"link/ram.h\"|0|every include follows"
  "a glue file may include the kernel|sim/usb_glue.cpp|1i #include \"kernel/host.h\"|0|every include follows"
)

for c in "${cases[@]}"; do
  IFS='|' read -r name file script want text <<<"$c"
  fresh_copy
  [ -e "$work/tree/$file" ] || echo >"$work/tree/$file"
  sed -i "$script" "$work/tree/$file"
  out=$("$python" "$src/scripts/check_layering.py" --root "$work/tree" 2>&1)
  got=$?
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "FAIL: $name: status $got (wanted $want), report:"
    echo "$out"
    failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
done
rm -rf "$work/tree"
mkdir -p "$work/tree"
out=$("$python" "$src/scripts/check_layering.py" --root "$work/tree" 2>&1)
if [ $? != 2 ] || ! grep -q "architecture.md" <<<"$out"; then
  echo "FAIL: no document: status 2 and its path wanted, got: $out"
  failures=$((failures + 1))
else
  echo "ok: no document"
fi
[ "$failures" -eq 0 ]
