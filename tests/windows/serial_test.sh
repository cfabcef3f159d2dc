#!/bin/bash
# zam32.exe under wine on simulated serial units, end to end: `pelmosim serial` (the
# Linux simulator) serves each unit on a pseudo-terminal, wine maps the terminals as COM
# ports (HKLM\Software\Wine\Ports), and zam32.exe reaches them with P C5 like any COM
# port: 64 KB made by srec_cat loaded with verify, summed and written back. The same
# command lines through the Linux zam32 (ZAMCOMn naming the same kind of unit) must give
# the same transcript, and the units must count the same traffic.
#
# usage: serial_test.sh WINDOWS_BIN LINUX_BIN
#   WINDOWS_BIN holds zam32.exe, LINUX_BIN zam32 and pelmosim.
#   WINE and WINESERVER name wine's programs (default: wine64 and wineserver on PATH,
#   else /usr/lib/wine). A wine prefix of its own is made in a temporary folder.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 WINDOWS_BIN LINUX_BIN" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
zam32exe=$(realpath "$1/zam32.exe")
zam32=$(realpath "$2/zam32")
pelmosim=$(realpath "$2/pelmosim")
wine=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
wineserver=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver)}
for tool in srec_cat srec_cmp "$wine" "$wineserver"; do
    command -v "$tool" >/dev/null || { echo "serial_test: $tool not found" >&2; exit 2; }
done

work=$(mktemp -d)
declare -a sims=()
cleanup() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cd "$work"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# start_unit NAME OPTIONS: a simulated unit; its terminal's path in $NAME_tty, its
# process in $NAME_pid. Waits for the line on which the simulator names its terminal.
start_unit() {
    local name=$1 options=$2 fd line
    rm -f "$work/$name.out"
    mkfifo "$work/$name.out"
    "$pelmosim" serial "$options" >"$work/$name.out" 2>"$work/$name.err" &
    sims+=($!)
    printf -v "${name}_pid" %s $!
    exec {fd}<"$work/$name.out"
    # The limit only guards against a simulator that never starts.
    if ! read -r -t 60 -u "$fd" line; then
        echo "serial_test: pelmosim $options did not name its terminal" >&2
        cat "$work/$name.err" >&2
        exit 1
    fi
    printf -v "${name}_tty" %s "$line"
}

# stop_unit NAME: ends the simulator; what it counted on the line in $NAME_counted.
stop_unit() {
    local pid_var="${1}_pid" status=0
    kill -TERM "${!pid_var}"
    wait "${!pid_var}" || status=$?
    [ $status -eq 0 ] || fail "pelmosim $1 ended with status $status"
    printf -v "${1}_counted" %s "$(tail -n 1 "$work/$1.err")"
}

# run_exe OUT ENV ARGS...: zam32.exe in batch mode with the one assignment ENV (- for
# none) in its environment; its transcript, line ends made Unix, in OUT.
run_exe() {
    local out=$1 assign=$2 status=0
    shift 2
    [ "$assign" != - ] || assign=PELMO_NOTHING=
    env -u ZAM32ARG -u ZAM32OSCLASS -u ZAMBPS -u ZAMCOM4 -u ZAMCOM5 -u ZAMCOM6 -u ZAMCOM8 -u ZAMCOM9 -u PELMO_SIM_USB "$assign" \
        timeout 300 "$wine" "$zam32exe" "$@" </dev/null >"$work/raw" 2>&1 || status=$?
    tr -d '\r' <"$work/raw" >"$out"
    return $status
}
# run_linux OUT ARGS...: the Linux zam32 in batch mode on COMn = TTY, at 921600 baud.
run_linux() {
    local out=$1 n=$2 tty=$3 status=0
    shift 3
    # Of the NT family, as every Windows this runs on.
    env -u ZAM32ARG -u ZAMCOM4 -u ZAMCOM5 -u ZAMCOM6 -u ZAMCOM8 -u ZAMCOM9 -u PELMO_SIM_USB ZAM32OSCLASS=5 ZAMBPS=921600 "ZAMCOM$n=$tty" \
        timeout 300 "$zam32" "$@" </dev/null >"$out" 2>&1 || status=$?
    return $status
}
has() { grep -qF -- "$2" "$1"; }
# same_traffic WHAT WINE LINUX: the units' counts of commands and bytes agree, and the
# wine side purged at least as often (wine flushes each direction on its own, and
# flushes close together may reach the unit as one).
same_traffic() {
    local what=$1 wine_count=$2 linux_count=$3
    [ "${wine_count%,*purges*}" = "${linux_count%,*purges*}" ] ||
        fail "$what: the unit counted \"$wine_count\" under wine, \"$linux_count\" on Linux"
    local wp=${wine_count##*, } lp=${linux_count##*, }
    [ "${wp%% *}" -ge "${lp%% *}" ] || fail "$what: $wp under wine, $lp on Linux"
}

# ---- images ----
srec_cat -generate 0 0x10000 -random -o image.s28 -address-length=3 2>/dev/null
srec_cat image.s28 -o expect.bin -binary 2>/dev/null
srec_cat image.s28 -crop 0 0x8000 -o small.bin -binary 2>/dev/null
sum=$(od -An -v -tu1 expect.bin | awk '{for (i = 1; i <= NF; i++) s += $i} END {printf "%04X-%04X", int(s / 65536), s % 65536}')
printf 'not a serial port' >plain.txt

# ---- units and the wine prefix that maps them ----
# COM5: a clean line. COM6: a line that damages answers, so that resynchronisations
# (purge, break) and the receive time-out of a lost byte happen. COM8: a unit for the
# refused opens. COM9: a unit that stops reading halfway through a load, so that the
# writes pile up until their wait runs out. COM4: a unit that never answers, for Esc on
# the console. COM7 is mapped to nothing.
faults=ram=64,fault=bad-crc:3,fault=garbage:6,fault=drop:9
deaf=ram=32,fault=deaf:301
start_unit clean ram=64
start_unit faulty "$faults"
start_unit spare ram=64
start_unit deaf "$deaf"
start_unit dead ram=32,dead=1
"$wine" wineboot -i >/dev/null 2>&1
for port in "COM4 $dead_tty" "COM5 $clean_tty" "COM6 $faulty_tty" "COM8 $spare_tty" "COM9 $deaf_tty"; do
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v "${port% *}" /t REG_SZ /d "${port#* }" /f >/dev/null
done
# Wine's services read the ports when they start: start them again, then wait until the
# COM devices stand in the prefix.
"$wineserver" -k || true
"$wineserver" -w
"$wine" cmd /c exit >/dev/null 2>&1
for dev in com4 com5 com6 com8 com9; do
    for _ in $(seq 600); do
        [ -L "$WINEPREFIX/dosdevices/$dev" ] && break
        sleep 0.05
    done
    [ -L "$WINEPREFIX/dosdevices/$dev" ] || { echo "serial_test: wine did not map $dev" >&2; exit 1; }
done

# ---- load, verify, sum, write back on COM5; then the same through the Linux zam32 ----
job=(/b "P C5;T 27512;L image.s28,,,,,V;S;W out.s28,,,R,S28;L image.s28,,,,,VO;QN")
status=0
run_exe exe.txt ZAMBPS=921600 "${job[@]}" || status=$?
[ $status -eq 0 ] || fail "zam32.exe on COM5 ended with status $status"
for line in "Checking Pc5U0 as 27512" "Load/Verify Completed with no errors (10000 Bytes Loaded)" \
    "Verify Completed with no errors" "CHECKSUM = $sum"; do
    has exe.txt "$line" || fail "zam32.exe on COM5: no \"$line\""
done
! has exe.txt FAILURE || fail "zam32.exe on COM5 reported a failure"
srec_cmp out.s28 image.s28 >/dev/null 2>&1 || fail "out.s28 written through COM5 differs from image.s28"
stop_unit clean
mv out.s28 exe.s28

start_unit linux ram=64
status=0
run_linux linux.txt 5 "$linux_tty" "${job[@]}" || status=$?
[ $status -eq 0 ] || fail "zam32 on COM5 ended with status $status"
stop_unit linux
cmp -s exe.s28 out.s28 || fail "zam32.exe and zam32 wrote different S-record files"
diff -u linux.txt exe.txt >&2 || fail "zam32.exe and zam32 transcripts differ on the clean line"
same_traffic "clean line" "$clean_counted" "$linux_counted"

# ---- the damaged line: retried, resynchronised, completed, as on Linux ----
job=(/b "P C6;T 27512;L image.s28,,,,,V;S;QN")
status=0
run_exe exe.txt ZAMBPS=921600 "${job[@]}" || status=$?
[ $status -eq 0 ] || fail "zam32.exe on COM6 ended with status $status"
has exe.txt "Load/Verify Completed with no errors (10000 Bytes Loaded)" || fail "zam32.exe on COM6 did not load"
has exe.txt "CHECKSUM = $sum" || fail "zam32.exe on COM6: wrong checksum"
stop_unit faulty
case $faulty_counted in
*" 0 purges"*) fail "no resynchronisation reached the damaged unit: $faulty_counted" ;;
esac
start_unit linux "$faults"
status=0
run_linux linux.txt 6 "$linux_tty" "${job[@]}" || status=$?
[ $status -eq 0 ] || fail "zam32 on COM6 ended with status $status"
stop_unit linux
diff -u linux.txt exe.txt >&2 || fail "zam32.exe and zam32 transcripts differ on the damaged line"
same_traffic "damaged line" "$faulty_counted" "$linux_counted"

# ---- a unit that stops reading: the write's wait ends the load, as on Linux ----
job=(/b "P C9;T 27256;L small.bin,,,,,V;QN")
status=0
run_exe exe.txt ZAMBPS=921600 "${job[@]}" || status=$?
[ $status -ne 0 ] || fail "zam32.exe on COM9 ended with status 0"
has exe.txt "DEVICE FAILURE (SUBCODE 502-9)" || fail "zam32.exe on COM9: no write failure"
! has exe.txt Completed || fail "zam32.exe on COM9 completed a load the unit did not take"
stop_unit deaf
start_unit linux "$deaf"
status=0
run_linux linux.txt 9 "$linux_tty" "${job[@]}" || status=$?
stop_unit linux
diff -u linux.txt exe.txt >&2 || fail "zam32.exe and zam32 transcripts differ on the deaf unit"

# ---- Esc on the console ends the wait for a unit that does not answer ----
status=0
env -u ZAM32ARG -u ZAM32OSCLASS -u ZAMBPS -u ZAMCOM4 WINE="$wine" timeout 300 \
    python3 "$here/console_esc.py" "Checking Pc4U0 as 27256" "$zam32exe" /b "P C4;T 27256;QN" \
    >esc.txt 2>&1 || status=$?
[ $status -eq 3 ] || fail "Esc on COM4: zam32.exe ended with status $status"
has esc.txt "[CANCELLEDSUBCODE100-4]" || { fail "Esc on COM4 did not cancel the wait"; cat esc.txt >&2; }
stop_unit dead

# ---- ports that cannot be used: the failure and why ----
bell=$'\a'
# environment | port | the two lines after "CANNOT ACCESS EMULATOR ON PORT cN UNIT 0"
cases=(
    "-|7|Serial Port is NOT OPERATIONAL$bell|COM7 (\\\\.\\COM7): no such device"
    "ZAMCOM5=plain.txt|5|Serial Port is NOT OPERATIONAL$bell|COM5 (plain.txt): not a serial port"
    "ZAMBPS=49|8|DEVICE FAILURE (SUBCODE 100-5)$bell|ZAMBPS '49' is not a rate between 50 and 921600"
    # Wine runs a pseudo-terminal only at the standard rates and reads another one back.
    "ZAMBPS=1000|8|Serial Port is NOT OPERATIONAL$bell|COM8 (\\\\.\\COM8): the device cannot run at 1000 baud"
)
for c in "${cases[@]}"; do
    IFS='|' read -r assign port first second <<<"$c"
    status=0
    run_exe exe.txt "$assign" /b "P C$port;T 27256;QN" || status=$?
    [ $status -ne 0 ] || fail "$assign P C$port: zam32.exe ended with status 0"
    ok=1
    for line in "CANNOT ACCESS EMULATOR ON PORT c$port UNIT 0" "$first" "$second"; do
        has exe.txt "$line" || { fail "$assign P C$port: no \"$line\""; ok=0; }
    done
    [ $ok -eq 1 ] || cat exe.txt >&2
done
# The unit on COM8 still answers the next program after the refused opens.
status=0
run_exe exe.txt ZAMBPS=115200 /b "P C8;T 27256;QN" || status=$?
[ $status -eq 0 ] || fail "zam32.exe on COM8 after the refusals: status $status"
has exe.txt "Checking Pc8U0 as 27256" || fail "zam32.exe did not check the unit on COM8"
! has exe.txt "NOT OPERATIONAL" || fail "COM8 not operational after the refusals"
stop_unit spare

if [ $failures -ne 0 ]; then
    echo "serial_test: $failures failure(s)" >&2
    exit 1
fi
echo "serial_test: passed (COM5: $clean_counted; COM6: $faulty_counted; COM9: $deaf_counted)"
