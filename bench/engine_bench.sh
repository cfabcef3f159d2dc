#!/usr/bin/env bash
# Times the image engine against srec_cat on 1 MiB images, each as a whole process,
# and reports peak memory (maximum resident set size).
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
# Best wall time (seconds) and peak RSS (KiB) of a command over $runs runs.
measure() {
    local best="" rss=0 line t m
    for _ in $(seq "$runs"); do
        line=$( /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>&1; cat "$work/time.txt" )
        t=${line% *}
        m=${line#* }
        if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
        [ "$m" -gt "$rss" ] && rss=$m
    done
    echo "$best $rss"
}
# /usr/bin/time rounds to 10 ms; the driver's own clock is finer.
inner() { "$@" | awk '{print $2}'; }

idle=$(measure "$bench" idle)
echo "engine_bench idle process: peak RSS ${idle#* } KiB"
printf '%-22s %10s %10s %8s %12s %12s %8s\n' operation ours_s srec_s ratio ours_KiB limit_KiB inner_ms
row() {
    local name=$1 file=$2; shift 2
    local ours srec ot st om limit ratio ms
    ours=$(measure "$bench" "${@:1:2}")
    ms=$(inner "$bench" "${@:1:2}")
    shift 2
    srec=$(measure "$@")
    ot=${ours% *}; om=${ours#* }; st=${srec% *}
    # Limit: twice the file size plus the device size (1 MiB).
    limit=$(( (2 * $(stat -c %s "$file") + 1048576) / 1024 ))
    ratio=$(awk "BEGIN{ o=$ot; if (o < 0.01) o = 0.01; printf \"%.1f\", $st / o }")
    printf '%-22s %10s %10s %8s %12s %12s %8s\n' "$name" "$ot" "$st" "${ratio}x" "$om" "$limit" "$ms"
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
echo "ratio = srec_cat time / ours (whole processes, best of $runs; /usr/bin/time has 10 ms steps,"
echo "a time below 10 ms counts as 10 ms). limit = 2 x file size + device size."
