#!/usr/bin/env bash
# The windowed application on a real X display, driven by real key presses:
# fill the virtual 27256 with 5A through the fill dialog, then type the bad
# fill value "QQ" and press Alt+N. The field's message must come and nothing
# may fill; the RAM is then read back by Quick Write into a binary file, whose
# bytes and checksum must still be those of the 5A fill.
# Usage: x11_fill_test.sh PELMOGUI3 LIBEMUCORE
set -euo pipefail
program=$1
library=$2
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/deps.sh installs it)"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/pelmo-x11.XXXXXX")
xpid=""
gpid=""
finish() {
  [ -n "$gpid" ] && kill "$gpid" 2>/dev/null || true
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# A display of our own: Xvfb picks a free number and tells it on a pipe.
mkfifo "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/displayfd" >"$work/xvfb.log" 2>&1 &
xpid=$!
read -r -t 60 number <"$work/displayfd" || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$number"

dump="$work/ram.bin"
mkdir -p "$work/config/PelmoGui3"
cat >"$work/config/PelmoGui3/PelmoGui3.ini" <<INI
[Settings4]
DevType=5
FillValue=5A
WriteFile=$dump
WriteFormat=0
INI

env -u PELMO_SIM_USB XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb PELMO_EMUCORE="$library" \
  emucoredebug="$work/emucore.log" "$program" >"$work/gui.log" 2>&1 &
gpid=$!

# Waits (bounded) until exactly N windows carry the title; prints the newest.
windows() {
  local title=$1 count=$2 ids pattern
  pattern=$(printf '%s' "$title" | sed 's/[][().*^$+?]/\\&/g')
  for _ in $(seq 600); do
    ids=$(xdotool search --onlyvisible --name "^${pattern}\$" 2>/dev/null || true)
    if [ "$(printf '%s' "$ids" | grep -c .)" -eq "$count" ]; then
      printf '%s\n' "$ids" | tail -1
      return 0
    fi
    kill -0 "$gpid" 2>/dev/null || { echo "FAIL: the program ended" >&2; cat "$work/gui.log" >&2; exit 1; }
    sleep 0.1
  done
  echo "FAIL: waiting for $count window(s) titled '$title'; shown:" >&2
  xdotool search --onlyvisible --name . getwindowname %@ >&2 2>/dev/null || true
  exit 1
}
keys() {
  local window=$1
  shift
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  xdotool key --clearmodifiers --delay 50 "$@"
}

main=$(windows " (V) Pelmo EPROM Emulator" 1)
keys "$main" alt+s f
fill=$(windows " Pelmo Fill Setup" 1)
# The focus opens in the fill value, which shows 5A: fill with it.
keys "$fill" alt+n
box=$(windows " Pelmo Setup Fill" 1)
keys "$box" Return
windows " Pelmo Setup Fill" 0 >/dev/null

# Now the bad value: the field's own message, on a box of the dialog's title.
keys "$fill" ctrl+a Q Q alt+n
box=$(windows " Pelmo Fill Setup" 2)
keys "$box" Return
windows " Pelmo Fill Setup" 1 >/dev/null
keys "$fill" Escape
windows " Pelmo Fill Setup" 0 >/dev/null

# Read the RAM back: Quick Write puts the whole device into the binary file.
keys "$main" alt+q w
for _ in $(seq 600); do
  [ -f "$dump" ] && [ "$(stat -c %s "$dump")" -eq 32768 ] && break
  sleep 0.1
done
keys "$main" alt+f x
for _ in $(seq 600); do kill -0 "$gpid" 2>/dev/null || break; sleep 0.1; done
wait "$gpid" && status=0 || status=$?
gpid=""
[ "$status" -eq 0 ] || { echo "FAIL: the program ended with status $status"; cat "$work/gui.log"; exit 1; }

fills=$(grep -c '^VXAFill(' "$work/emucore.log" || true)
[ "$fills" -eq 1 ] || { echo "FAIL: $fills fills reached the library"; grep '^VXA' "$work/emucore.log"; exit 1; }
[ -f "$dump" ] || { echo "FAIL: no RAM dump written"; exit 1; }
size=$(stat -c %s "$dump")
sum=$(od -An -v -tu1 "$dump" | tr -s ' ' '\n' | awk 'NF { s += $1 } END { printf "%X", s }')
expected=$(printf '%X' $((0x5A * 32768)))
echo "RAM read back: $size bytes, checksum $sum (expected 32768 bytes, $expected)"
[ "$size" -eq 32768 ] && [ "$sum" = "$expected" ] || { echo "FAIL: the RAM changed"; exit 1; }
others=$(od -An -v -tx1 "$dump" | tr -s ' ' '\n' | grep -v '^5a$' | grep -c . || true)
[ "$others" -eq 0 ] || { echo "FAIL: $others bytes are not 5A"; exit 1; }
echo "PASS"
