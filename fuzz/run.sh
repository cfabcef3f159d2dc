#!/usr/bin/env bash
# Builds the engine's libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded
# time. Not part of ctest.
#   fuzz/run.sh [seconds per target]     (default 60; build in build-engine/fuzz)
# Targets: the HEX, S-record and ELF readers, the whole load (LoadImage) and the console
# program's command language (parser, %-references, evaluator).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD:-build-engine/fuzz}
cmake -S fuzz/project -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

# Small seed corpora: valid files of each kind.
corpus="$build/corpus"
mkdir -p "$corpus/hex" "$corpus/s" "$corpus/elf" "$corpus/load" "$corpus/command"
printf '\000:0400100001020304E2\r\n:020000040001F9\r\n:0400000500001234B1\r\n:00000001FF\r\n' >"$corpus/hex/seed1"
printf '\001:020000021000EC\n:0400000312345678E5\n:00000006FA\n' >"$corpus/hex/seed2"
printf '\000S00600004844521B\r\nS107000001020304EE\r\nS5030003F9\r\nS9030000FC\r\n' >"$corpus/s/seed1"
printf '\001S205123456AAB4\ns30612345678aa3b\nS4030000FC\nS70512345678E6' >"$corpus/s/seed2"
printf '\000\000\000\000\000\000\000\000\001\000:0400100001020304E2\r\n:00000001FF\r\n' >"$corpus/load/hex"
printf '\000\000\000\000\000\000\000\000\002\001S107000001020304EE\r\nS9030000FC\r\n' >"$corpus/load/s"
printf '\000\000\000\000\000\000\000\000\003\000binary image bytes' >"$corpus/load/bin"
# ELF (without the 4 magic bytes the target puts in front): ELF32 little-endian with one
# PT_LOAD of 4 bytes at physical 0x100, ELF64 big-endian with two overlapping ones.
elf32_le() {
  printf '\001\001\001\000\000\000\000\000\000\000\000\000\002\000\050\000\001\000\000\000'
  printf '\000\001\000\000\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000'
  printf '\000\000\000\000\000\000'
  printf '\001\000\000\000\124\000\000\000\000\200\000\000\000\001\000\000\004\000\000\000'
  printf '\004\000\000\000\005\000\000\000\004\000\000\000\336\255\276\357'
}
elf64_be() {
  printf '\002\002\001\000\000\000\000\000\000\000\000\000\000\002\000\050\000\000\000\001'
  printf '\000\000\000\000\000\000\020\000\000\000\000\000\000\000\000\100\000\000\000\000'
  printf '\000\000\000\000\000\000\000\000\000\100\000\070\000\002\000\000\000\000\000\000'
  for paddr in '\000' '\001'; do
    printf '\000\000\000\001\000\000\000\005\000\000\000\000\000\000\000\260'
    printf '\000\000\000\000\000\000\000\000\000\000\000\000\000\000\001'
    printf "$paddr"
    printf '\000\000\000\000\000\000\000\002\000\000\000\000\000\000\000\002'
    printf '\000\000\000\000\000\000\000\001'
  done
  printf '\125\125'
}
elf32_le >"$corpus/elf/elf32le"
elf64_be >"$corpus/elf/elf64be"
# Command language: mode byte (0 evaluate, 1 parse, 2 %-references), a pick byte, the text.
printf '\000\007($1+ffff)*3/(2-1)&~$0|100^7<<2>>1' >"$corpus/command/eval"
printf '\001\011out.hex,0,100,r,h32-,20,ff,8000,1234,"sign\\x41on"' >"$corpus/command/write"
printf '\001\004f00,,100,vo' >"$corpus/command/fill"
printf '\002\001l %%F2;w "%%F1",%%A3\nimage.hex,0,,,1' >"$corpus/command/keys"

# A small quarantine: a use after free inside one run is still caught (everything a
# run frees stays in it), while fresh pages for every allocation no longer halve the
# speed of the load target.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=1}

status=0
for t in hex_record:hex s_record:s elf:elf load_image:load command:command; do
    target=${t%%:*}
    dir=${t##*:}
    echo "== fuzz_$target for ${seconds}s"
    if ! "$build/bin/fuzz_$target" "$corpus/$dir" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -artifact_prefix="$build/crash-$target-" -print_final_stats=1 2>"$build/$target.log"; then
        status=1
        echo "fuzz_$target FAILED (see $build/$target.log)"
    fi
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb)|^Done|^#[0-9]+ *DONE" "$build/$target.log" || true
done
exit $status
