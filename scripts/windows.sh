#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 and tests them under wine:
#   x86_64 (build-win64/bin): zam32.exe, emucore.dll (+ lib/libemucore.dll.a), ZAM32.HLP and
#          the test programs, run under wine64 by CTest, some against the Linux build's
#          zam32 and pelmosim (build/bin);
#   i686   (build-win32/bin): zam32.exe and emucore.dll with the decorated exports, checked
#          with objdump only (no 32-bit wine here).
#   windows.sh [all|build|test]   (default all; scripts/test.sh builds while other tests run)
# Wine runs in a prefix of its own, made for this run and removed after it.
set -euo pipefail
cd "$(dirname "$0")/.."
phase=${1:-all}
case $phase in all|build|test) ;; *) echo "usage: scripts/windows.sh [all|build|test]" >&2; exit 2 ;; esac
start=$SECONDS
jobs=$(nproc)
win64=${PELMO_WIN64_DIR:-build-win64}
win32=${PELMO_WIN32_DIR:-build-win32}
linux=${PELMO_LINUX_DIR:-build}

if [ "$phase" != test ]; then
  bash scripts/deps.sh
  echo "== Windows x86_64: configure and build"
  cmake -S . -B "$win64" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DPELMO_WERROR=ON -DPELMO_LINUX_BIN="$PWD/$linux/bin" >/dev/null
  cmake --build "$win64" -j"$jobs"
  echo "== Windows i686: configure and build"
  cmake -S . -B "$win32" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
    -DPELMO_WERROR=ON >/dev/null
  cmake --build "$win32" -j"$jobs" --target zam32 zam32_help emucore
fi
[ "$phase" = build ] && { echo "windows.sh: Windows builds done in $((SECONDS - start)) s"; exit 0; }

# The tests against Linux need its console program and simulator.
echo "== Linux zam32 and pelmosim for the comparisons ($linux)"
[ -f "$linux/CMakeCache.txt" ] || cmake -S . -B "$linux" -DPELMO_WERROR=ON -DPELMO_GUI=OFF >/dev/null
cmake --build "$linux" -j"$jobs" --target zam32 zam32_help pelmosim_program >/dev/null

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/pelmo-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
cleanup() {
  # This prefix's server only (and with it its processes), then the prefix.
  WINEPREFIX=$WINEPREFIX "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
echo "== Windows x86_64 tests under wine ($WINEPREFIX)"
# The prefix is made by the first program wine starts; made here so that no test's
# time includes it.
/usr/lib/wine/wine64 cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
# Every test passes on its first run or the run fails: no retries.
(cd "$win64" && ctest --output-on-failure --timeout 600 -j"$jobs" </dev/null)
echo "== Windows i686 checks (objdump)"
(cd "$win32" && ctest --output-on-failure --timeout 60 </dev/null)
echo "windows.sh: Windows tests passed in $((SECONDS - start)) s"
