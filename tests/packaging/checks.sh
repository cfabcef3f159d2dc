# Checks shared by the install and package tests: each runs programs from an
# installed tree only (bin, lib, share under one root), with a plain PATH and
# no library path of the build. Sourced; expects PELMO_SOURCE_DIR, PELMO_CC,
# PELMO_CMAKE, PELMO_CONSUMER_FLAGS (may be empty) and a scratch folder $work.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Polls for a condition the program under test brings about, up to a generous
# bound (the sanitizer build is several times slower).
wait_for() {
    local what=$1; shift
    local i
    for ((i = 0; i < 1200; i++)); do
        if "$@"; then return 0; fi
        sleep 0.1
    done
    fail "timed out waiting for $what"
}

# Runs a command with a clean environment: only what a user's shell would have.
clean_env() { (clean_exec "$@"); }
# The same in place of the calling (sub)shell, so that "clean_exec prog &" leaves
# the program's own pid in $!.
clean_exec() {
    exec env -i PATH=/usr/bin:/bin HOME="$work/home" LANG=C.UTF-8 \
        ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS} \
        ${LSAN_OPTIONS:+LSAN_OPTIONS=$LSAN_OPTIONS} "$@"
}

# An Intel HEX image of 20 (hex) bytes at 0: 00, 0B, 16, ... and its byte sum
# as the library gives it and as zam32 shows it.
write_image() {
    local file=$1 line sum rec a b byte
    : > "$file"
    image_sum=0
    for a in 0 16; do
        rec=$(printf '10%04X00' "$a")
        sum=$((0x10 + (a >> 8) + (a & 255)))
        for ((b = 0; b < 16; b++)); do
            byte=$((((a + b) * 11) & 255))
            rec+=$(printf '%02X' "$byte")
            sum=$((sum + byte))
            image_sum=$((image_sum + byte))
        done
        printf ':%s%02X\r\n' "$rec" $(((256 - (sum & 255)) & 255)) >> "$file"
    done
    printf ':00000001FF\r\n' >> "$file"
    image_checksum=$(printf '%08X' "$image_sum")
    zam32_checksum=$(printf 'CHECKSUM = %04X-%04X' $((image_sum >> 16)) $((image_sum & 0xFFFF)))
}

# The installed zam32 in batch mode: load the image into a virtual 27256 with
# verify and checksum it; then "h d" from the installed help file, and the
# report when that file is not there.
check_zam32() {
    local root=$1 datadir=$2 out status
    local run=$work/zam32-run
    mkdir -p "$run" "$work/home"
    write_image "$run/image.hex"
    status=0
    out=$(cd "$run" && clean_env ZAM32ARG='/b /n p v;u 0;t 27256;l image.hex,,,,,v;s 0,20' \
          "$root/bin/zam32" </dev/null 2>&1) || status=$?
    [ "$status" -eq 0 ] || fail "zam32 load and checksum: status $status: $out"
    grep -qF "$zam32_checksum" <<<"$out" || fail "zam32 did not show \"$zam32_checksum\": $out"

    # A failing command still fails: the status is the program's, not the shell's.
    status=0
    out=$(cd "$run" && clean_env ZAM32ARG='/b /n p v;u 0;t 27256;l missing.hex' \
          "$root/bin/zam32" </dev/null 2>&1) || status=$?
    [ "$status" -eq 3 ] || fail "zam32 with a missing image: status $status, want 3: $out"

    local topic
    topic=$(sed -n '/^#D$/{n;p;q}' "$PELMO_SOURCE_DIR/zam32/ZAM32.HLP" | tr -d '\r')
    [ -n "$topic" ] || fail "no D topic in the source help file"
    out=$(cd "$run" && clean_env ZAM32ARG='/b /n h d' "$root/bin/zam32" </dev/null 2>&1) ||
        fail "zam32 h d: $out"
    grep -qF -- "$topic" <<<"$out" || fail "zam32 h d did not show the installed help (\"$topic\"): $out"

    # Without the installed file the same command reports it, so the text above
    # came from $datadir.
    mv "$datadir/ZAM32.HLP" "$datadir/ZAM32.HLP.away"
    status=0
    out=$(cd "$run" && clean_env ZAM32ARG='/b /n h d' "$root/bin/zam32" </dev/null 2>&1) || status=$?
    mv "$datadir/ZAM32.HLP.away" "$datadir/ZAM32.HLP"
    ! grep -qF -- "$topic" <<<"$out" || fail "zam32 h d found a help file other than $datadir/ZAM32.HLP: $out"
}

# The installed pelmo command as a user runs it (no PYTHONPATH, no PELMO_EMUCORE,
# another folder): its Python package found in $2 beside it, the library of the
# same tree under it, the image loaded into the virtual unit.
check_pelmo() {
    local root=$1 package=$2 out
    local run=$work/pelmo-run
    mkdir -p "$run" "$work/home"
    [ -f "$package/pelmo/__init__.py" ] || fail "no Python package in $package"
    out=$(cd "$run" && clean_env "$root/bin/pelmo" --help 2>&1) || fail "pelmo --help: $out"
    grep -q '^usage: pelmo' <<<"$out" || fail "pelmo --help did not show the usage: $out"
    if [ -n "$PELMO_CONSUMER_FLAGS" ]; then
        # A sanitizer build's library loads only into programs built with the sanitizer
        # runtime, which Debian's python3 is not; the Python tests use the plain build.
        echo "check_pelmo: sanitizer build, the installed command is run for --help only"
        return 0
    fi
    write_image "$run/image.hex"
    out=$(cd "$run" && clean_env "$root/bin/pelmo" --unit virtual --json load image.hex 2>&1) ||
        fail "pelmo load: $out"
    grep -qF 'Load/Verify Completed with no errors (20 Bytes Loaded)' <<<"$out" || fail "pelmo load: $out"
    out=$(cd "$run" && clean_env "$root/bin/pelmo" --unit virtual checksum 2>&1) || fail "pelmo checksum: $out"
    grep -qF 'CHECKSUM = 007F-8000' <<<"$out" || fail "pelmo checksum of an erased 27256: $out"
    local status=0
    out=$(cd "$run" && clean_env "$root/bin/pelmo" --unit virtual load missing.hex 2>&1) || status=$?
    [ "$status" -eq 1 ] || fail "pelmo load of a missing file: status $status, want 1: $out"
    out=$(cd "$run" && clean_env "$PELMO_PYTHON" -c \
          "import sys; sys.path.insert(0, sys.argv[1]); import pelmo; print(pelmo.library_path())" "$package" 2>&1) ||
        fail "import pelmo from $package: $out"
    [ "$out" = "$root/lib/libemucore.so.1" ] || fail "the installed package uses $out, not $root/lib/libemucore.so.1"
}

maps_have() { grep -q "$2" "/proc/$1/maps" 2>/dev/null; }
file_has() { grep -qF -- "$2" "$1" 2>/dev/null; }

# The installed pelmogui3 on the offscreen platform binds the installed
# library by itself (no PELMO_EMUCORE) and opens the virtual unit through it.
check_gui() {
    local root=$1 libdir=$2 pid log=$work/gui.log trace=$work/gui-trace.log
    mkdir -p "$work/home" "$work/gui-config"
    clean_exec QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/gui-config" emucoredebug="$trace" \
        "$root/bin/pelmogui3" </dev/null >"$log" 2>&1 &
    pid=$!
    wait_for "pelmogui3 to map $libdir/libemucore.so.1" maps_have "$pid" "$libdir/libemucore\.so\.1"
    wait_for "pelmogui3 to call into the library" file_has "$trace" "VXAFind"
    kill -TERM "$pid"
    wait "$pid" || true
    ! grep -q "UNABLE" "$log" || fail "pelmogui3 reported: $(cat "$log")"

    # A library named by PELMO_EMUCORE that is not there is named in the report.
    local missing=$work/nowhere/libemucore.so.1
    clean_exec QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/gui-config" PELMO_EMUCORE="$missing" \
        "$root/bin/pelmogui3" </dev/null >"$log" 2>&1 &
    pid=$!
    wait_for "pelmogui3 to report the missing library" file_has "$log" "UNABLE TO LOAD THE EMULATOR LIBRARY"
    kill -TERM "$pid"
    wait "$pid" || true
    grep -qF "$missing" "$log" || fail "pelmogui3 did not name $missing: $(cat "$log")"
}

# A C program compiled against the installed emucore.pc, and a CMake project
# that finds the installed package, each load the image into the virtual unit.
check_consumers() {
    local libdir=$1 prefix=$2 out flags
    local run=$work/consumer-run
    mkdir -p "$run"
    write_image "$run/image.hex"
    flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" PKG_CONFIG_LIBDIR="$libdir/pkgconfig" \
            pkg-config --cflags --libs emucore) || fail "pkg-config emucore"
    # shellcheck disable=SC2086
    "$PELMO_CC" $PELMO_CONSUMER_FLAGS "$PELMO_CONSUMER_DIR/consumer.c" $flags -o "$run/pc_consumer" ||
        fail "compiling against emucore.pc ($flags)"
    readelf -d "$run/pc_consumer" | grep -q 'NEEDED.*\[libemucore\.so\.1\]' ||
        fail "the program does not need libemucore.so.1 by its SONAME"
    out=$(cd "$run" && clean_env LD_LIBRARY_PATH="$libdir" ./pc_consumer image.hex 20 2>&1) ||
        fail "program built with pkg-config: $out"
    [ "$out" = "checksum $image_checksum" ] || fail "program built with pkg-config: $out"

    clean_env "$PELMO_CMAKE" -S "$PELMO_CONSUMER_DIR" -B "$run/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_COMPILER="$PELMO_CC" -DCMAKE_C_FLAGS="$PELMO_CONSUMER_FLAGS" >"$run/cmake.log" 2>&1 ||
        fail "configuring a project with find_package(emucore): $(cat "$run/cmake.log")"
    clean_env "$PELMO_CMAKE" --build "$run/cmake" >>"$run/cmake.log" 2>&1 ||
        fail "building a project with emucore::emucore: $(cat "$run/cmake.log")"
    out=$(cd "$run" && clean_env "$run/cmake/emucore_consumer" image.hex 20 2>&1) ||
        fail "program built with find_package(emucore): $out"
    [ "$out" = "checksum $image_checksum" ] || fail "program built with find_package(emucore): $out"
}
