#!/usr/bin/env bash
# Times the image engine against srec_cat on 1 MiB images, each as a whole process,
# and reports peak memory (maximum resident set size); and an ELF load against the
# HEX load of the same 1 MiB.
#   bench/engine_bench.sh [build-dir]      (default: build-engine)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-engine}
[ -d "$build" ] || cmake -S . -B "$build" -DPELMO_GUI=OFF >/dev/null
cmake --build "$build" --target engine_bench -j2 >/dev/null
bench="$build/bin/engine_bench"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

head -c 1048576 /dev/urandom >"$work/image.bin"
srec_cat "$work/image.bin" -binary -o "$work/image.hex" -intel -obs=32
srec_cat "$work/image.bin" -binary -o "$work/image.s37" -motorola -address-length=4 -obs=32 -esa=0

runs=5
# Best wall time in ms over $runs runs, then the peak RSS (KiB) of one more run.
measure() {
    local best="" t0 t1 t
    for _ in $(seq "$runs"); do
        t0=$EPOCHREALTIME
        # A failed load or write would be timed as if it had worked: stop instead.
        "$@" >/dev/null 2>"$work/err.txt" || { echo "engine_bench: failed: $* ($(head -c 300 "$work/err.txt"))" >&2; exit 1; }
        t1=$EPOCHREALTIME
        t=$(awk "BEGIN{printf \"%.2f\", ($t1 - $t0) * 1000}")
        if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
    done
    /usr/bin/time -f "%M" -o "$work/time.txt" "$@" >/dev/null 2>&1
    echo "$best $(cat "$work/time.txt")"
}

idle=$(measure "$bench" idle)
base=${idle#* }
echo "engine_bench idle process: peak RSS $base KiB (subtracted below as the process baseline)"
printf '%-18s %9s %9s %7s %10s %10s %10s %10s\n' operation ours_ms srec_ms ratio ours_KiB above_base limit_KiB srec_KiB
row() {
    local name=$1 file=$2; shift 2
    local ours srec ot st om sm limit ratio
    ours=$(measure "$bench" "${@:1:2}")
    shift 2
    srec=$(measure "$@")
    ot=${ours% *}; om=${ours#* }; st=${srec% *}; sm=${srec#* }
    # Limit: twice the file size plus the device size (1 MiB).
    limit=$(( (2 * $(stat -c %s "$file") + 1048576) / 1024 ))
    ratio=$(awk "BEGIN{printf \"%.1f\", $st / $ot}")
    printf '%-18s %9s %9s %7s %10s %10s %10s %10s\n' "$name" "$ot" "$st" "${ratio}x" "$om" "$((om - base))" "$limit" "$sm"
}
row "load HEX 1 MiB" "$work/image.hex" load "$work/image.hex" \
    srec_cat "$work/image.hex" -intel -o "$work/srec.bin" -binary
row "load S37 1 MiB" "$work/image.s37" load "$work/image.s37" \
    srec_cat "$work/image.s37" -motorola -o "$work/srec.bin" -binary
"$bench" write-hex "$work/ours.hex" >/dev/null
"$bench" write-s37 "$work/ours.s37" >/dev/null
row "write HEX 1 MiB" "$work/ours.hex" write-hex "$work/ours.hex" \
    srec_cat "$work/image.bin" -binary -o "$work/srec.hex" -intel -obs=32
row "write S37 1 MiB" "$work/ours.s37" write-s37 "$work/ours.s37" \
    srec_cat "$work/image.bin" -binary -o "$work/srec.s37" -motorola -address-length=4 -obs=32
# The same 1 MiB as an ELF executable (one PT_LOAD segment at 0, made with the ARM
# binutils of scripts/deps.sh), against our own load of it as HEX.
arm-none-eabi-objcopy -I binary -O elf32-littlearm -B arm --rename-section .data=.rom "$work/image.bin" "$work/image.o"
printf 'SECTIONS { .rom 0 : { *(.rom) } }\n' >"$work/image.ld"
arm-none-eabi-ld -T "$work/image.ld" "$work/image.o" -o "$work/image.elf"
elf=$(measure "$bench" load "$work/image.elf")
hex=$(measure "$bench" load "$work/image.hex")
et=${elf% *}; em=${elf#* }; ht=${hex% *}
printf '%-18s %9s %9s %7s %10s %10s\n' "load ELF 1 MiB" "$et" "$ht" "$(awk "BEGIN{printf \"%.1f\", $ht / $et}")x" "$em" \
    "$((em - base))"
echo "  (for the ELF row the second column is our own HEX load of the same image, ratio = hex_ms / elf_ms, target >= 1)"
echo "times: whole processes, best of $runs (ours: engine_bench on a virtual 27080; srec_cat: the same conversion)."
echo "ratio = srec_ms / ours_ms (target >= 3). limit = 2 x file size + device size, compared with above_base."
