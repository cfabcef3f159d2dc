#!/usr/bin/env bash
# Builds the libFuzzer targets from the main project (clang, ASan + UBSan, PELMO_FUZZ)
# and runs each for a bounded time on its corpus in fuzz/corpus/NAME. A crash, a leak,
# a sanitizer report or a time-out in any target fails the run (status 1).
#   fuzz/run.sh [seconds per target] [target ...]   (default 60 s, every target)
#   fuzz/run.sh --build                             (only build them)
# scripts/test.sh runs it with 20 s as the smoke. The repository's corpus is only read:
# new inputs go to the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
case $seconds in
  --build) ;;  # only build the targets (CI builds them while other tests run)
  ''|*[!0-9]*|0) echo "usage: fuzz/run.sh [seconds per target > 0 | --build] [target ...]" >&2; exit 2 ;;
esac
build=${FUZZ_BUILD:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPELMO_FUZZ=ON -DPELMO_GUI=OFF \
  -DPELMO_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_all >/dev/null
[ "$seconds" = --build ] && exit 0

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$build"/bin/fuzz_*; do targets+=("$(basename "$t")"); done
fi

# A small quarantine: a use after free inside one run is still caught (everything a
# run frees stays in it), while fresh pages for every allocation no longer halve the
# speed of the load target.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=1}

status=0
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  seeds=fuzz/corpus/$name
  work=$build/corpus/$name
  mkdir -p "$work" "$seeds"
  echo "== $target for ${seconds}s"
  if ! "$build/bin/$target" "$work" "$seeds" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -artifact_prefix="$build/crash-$name-" -print_final_stats=1 2>"$build/$name.log"; then
    status=1
    echo "$target FAILED (see $build/$name.log):"
    grep -E "^==[0-9]+==ERROR|^SUMMARY|Test unit written" "$build/$name.log" || tail -n 20 "$build/$name.log"
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$name.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$build/$name.log")
  echo "$target: ${execs:-?} executions, ${rate:-?} exec/s"
done
exit $status
