#!/usr/bin/env bash
# Runs the whole suite N times on each build (plain, then ASan + UBSan) while one busy
# process per core competes for the processors, and prints per test how many of the
# runs failed. Not part of .ci/run: it takes N times as long as the suite.
#   bash scripts/stress.sh N
set -euo pipefail
usage() {
  echo "usage: bash scripts/stress.sh N   (N > 0: whole-suite runs per build)" >&2
  exit 2
}
[ $# -eq 1 ] || usage
case $1 in
  ''|*[!0-9]*) usage ;;
esac
runs=$((10#$1))
[ "$runs" -gt 0 ] || usage

cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
# Each run's ctest log stays under stress-logs/ so a failure can be read afterwards.
out=$PWD/stress-logs
rm -rf "$out"
mkdir -p "$out"

load=()
stop_load() {
  for p in "${load[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_load EXIT
start_load() {
  for _ in $(seq "$jobs"); do
    (while :; do :; done) &
    load+=($!)
  done
}

# One build, N whole-suite runs. Each run is a ctest of its own (not --repeat
# until-fail:N, which stops repeating a test at its first failure), so that a test
# that fails in 3 runs of 10 shows as 3, and the failures are counted from each run's
# list of failed tests.
stress_build() {
  local name=$1 dir=$2; shift 2
  cmake -S . -B "$dir" -DPELMO_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  local tally=$out/$name.failed
  : >"$tally"
  start_load
  for i in $(seq "$runs"); do
    (cd "$dir" && ctest --timeout 600 -j"$jobs" --output-log "$out/$name.$i.log" </dev/null >/dev/null 2>&1) || true
    # ctest keeps the names of the tests that failed in its last run.
    if [ -s "$dir/Testing/Temporary/LastTestsFailed.log" ]; then
      cut -d: -f2- "$dir/Testing/Temporary/LastTestsFailed.log" >>"$tally"
      rm -f "$dir/Testing/Temporary/LastTestsFailed.log"
    fi
    echo "$name: run $i of $runs done, $(wc -l <"$tally") failure(s) so far"
  done
  stop_load
  load=()
  echo "== $name: failures per test in $runs whole-suite runs under load"
  if [ -s "$tally" ]; then
    sort "$tally" | uniq -c | sort -rn | awk -v n="$runs" '{c=$1; $1=""; printf "%4d of %d %s\n", c, n, substr($0, 2)}'
  else
    echo "   none"
  fi
}

stress_build plain build
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
stress_build asan build-asan -DPELMO_SANITIZE=ON
total=$(cat "$out"/plain.failed "$out"/asan.failed | wc -l)
echo "== total: $total failed test run(s) in $((2 * runs)) whole-suite runs (logs: $out)"
[ "$total" -eq 0 ]
