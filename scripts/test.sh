#!/usr/bin/env bash
# Builds everything twice (plain with warnings as errors, then ASan + UBSan) and runs every test,
# the thread-sanitizer tests of the threaded layers, a short smoke of every fuzz target and the
# Windows cross build with its tests under wine (scripts/windows.sh).
# The suites mostly wait (on units, terminals, wine), so the builds run beside them: the
# Windows and ASan builds beside the plain suite, the TSan and fuzz builds beside the ASan
# suite, the Windows tests beside the fuzz smoke. The suites are kept passing beside busy
# cores (scripts/stress.sh); their logs are printed in order.
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
# A job beside the foreground: its own process group (taken down if the run fails first),
# its output in a log printed when it is waited for.
lanes=()
beside() {
  local log=$1; shift
  setsid nice -n 10 bash -c "$*" >"$log" 2>&1 </dev/null &
  lanes+=("$!")
}
trap 'for p in "${lanes[@]}"; do kill -- -"$p" 2>/dev/null || true; done' EXIT
await() {
  local pid=$1 log=$2 what=$3 status=0
  wait "$pid" || status=$?
  cat "$log"
  if [ "$status" -ne 0 ]; then echo "$what failed (status $status)" >&2; exit 1; fi
}
tsan_tests="kernel_tests devio_tests devio_env_tests qorpelmo_tests"

step "plain build"
build_tree build
step "Windows cross build and ASan + UBSan build started beside the plain suite (build-beside.log)"
beside build-beside.log "bash scripts/windows.sh build && cmake -S . -B build-asan -DPELMO_WERROR=ON \
  -DPELMO_SANITIZE=ON >/dev/null && cmake --build build-asan -j$jobs"
builds=$!
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

step "the Windows and ASan + UBSan builds' end"
await "$builds" build-beside.log "the Windows cross build or the ASan + UBSan build"
step "TSan and fuzz builds started beside the ASan + UBSan suite (build-tools.log)"
beside build-tools.log "cmake -S . -B build-tsan -DPELMO_WERROR=ON -DPELMO_GUI=OFF -DPELMO_TSAN=ON >/dev/null && \
  cmake --build build-tsan -j$jobs --target $tsan_tests && bash fuzz/run.sh --build"
tools=$!
step "sanitizer suite (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan
step "the TSan and fuzz builds' end"
await "$tools" build-tools.log "the TSan or fuzz build"

step "thread sanitizer (the multi-threaded layers only: kernel, devio, driver with its soak)"
for t in $tsan_tests; do
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 "build-tsan/bin/$t" </dev/null
done
step "Windows tests under wine started beside the fuzz smoke (test-win.log)"
beside test-win.log "bash scripts/windows.sh test"
win_tests=$!
step "fuzz smoke (clang, ASan + UBSan): every target 20 s on its corpus in fuzz/corpus"
bash fuzz/run.sh 20
step "Windows tests under wine (scripts/windows.sh test)"
await "$win_tests" test-win.log "the Windows tests"
step "all passed"
