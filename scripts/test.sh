#!/usr/bin/env bash
# Builds everything twice (plain with warnings as errors, then ASan + UBSan) and runs every test,
# the thread-sanitizer tests of the threaded layers, a short smoke of every fuzz target and the
# Windows cross build (beside the plain suite) with its tests under wine (beside the fuzz smoke).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
# Each step says when it starts (seconds since the run began), so a slow step shows in the log.
step() { echo "== $* (at ${SECONDS} s)"; }
step "source layout (clang-format, every tracked C and C++ file)"
bash scripts/check_format.sh
build_tree() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DPELMO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}
# Every test passes on its first run or the run fails: no retries.
run_ctest() { (cd "$1" && ctest --output-on-failure --timeout 600 -j"$jobs" </dev/null); }
step "plain build"
build_tree build
# The Windows cross build compiles while the plain suite runs, whose tests mostly wait
# (the suite is kept passing beside busy cores: scripts/stress.sh).
step "Windows cross build started beside the plain suite (log: build-win.log)"
setsid nice -n 10 bash scripts/windows.sh build >build-win.log 2>&1 </dev/null &
win_build=$!
# A failure before its end takes the whole build (its own process group) down with it.
trap 'kill -- -"$win_build" 2>/dev/null || true' EXIT
step "plain suite"
run_ctest build
step "Python package pelmo (pytest, on the plain build's library)"
# Debian's pytest belongs to Debian's interpreter, which a python3 earlier on PATH may not be.
python=/usr/bin/python3; [ -x "$python" ] || python=python3
py_status=0
PELMO_EMUCORE="$PWD/build/lib/libemucore.so" PELMO_BUILD_DIR="$PWD/build" \
  "$python" -m pytest -q python </dev/null || py_status=$?
# 5 is pytest's "no tests collected": the tests went missing, which fails the run too.
if [ "$py_status" -eq 5 ]; then echo "pytest collected no tests under python/" >&2; exit 1; fi
if [ "$py_status" -ne 0 ]; then echo "Python tests failed (pytest status $py_status)" >&2; exit 1; fi
step "Windows: the cross build's end"
win_status=0; wait "$win_build" || win_status=$?
if [ "$win_status" -ne 0 ]; then cat build-win.log; echo "Windows cross build failed" >&2; exit 1; fi
tail -n 1 build-win.log
step "sanitizer build (ASan + UBSan)"
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build_tree build-asan -DPELMO_SANITIZE=ON
run_ctest build-asan
step "thread sanitizer (the multi-threaded layers only: kernel, devio, driver with its soak)"
unset ASAN_OPTIONS UBSAN_OPTIONS
tsan_tests="kernel_tests devio_tests devio_env_tests qorpelmo_tests"
cmake -S . -B build-tsan -DPELMO_WERROR=ON -DPELMO_GUI=OFF -DPELMO_TSAN=ON >/dev/null
# shellcheck disable=SC2086
cmake --build build-tsan -j"$jobs" --target $tsan_tests
for t in $tsan_tests; do
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "build-tsan/bin/$t" </dev/null
done
# The tests under wine mostly wait on wine, and a fuzz target keeps one core busy: the
# two run side by side.
step "Windows tests under wine started beside the fuzz smoke (log: test-win.log)"
setsid bash scripts/windows.sh test >test-win.log 2>&1 </dev/null &
win_test=$!
trap 'kill -- -"$win_test" 2>/dev/null || true' EXIT
step "fuzz smoke (clang, ASan + UBSan): every target 20 s on its corpus in fuzz/corpus"
bash fuzz/run.sh 20
step "Windows tests under wine (scripts/windows.sh test)"
win_status=0; wait "$win_test" || win_status=$?
cat test-win.log
if [ "$win_status" -ne 0 ]; then echo "Windows tests failed" >&2; exit 1; fi
step "all passed"
