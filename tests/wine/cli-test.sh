#!/usr/bin/env bash
# h8sx.exe under wine, a console program without a display, with the virtual board on COM1:
#   cli-test.sh SIM PREFIX H8SX.exe PROBE.exe WORKDIR
# 1. write --lenient of an S2 file linked at 0x1000 with a gap, the port taken from the
#    settings file beside the program, at 57600 bit/s and verified: status 0, the board's
#    flash byte for byte as check --out foretells, the status texts in UTF-8 on standard
#    error, a line every 10 % and no carriage return;
# 2. monitor --expect, its input a pipe: the board's Japanese greeting on standard output;
# 3. a port that cannot be opened: status 2, at once; a board taken away under the monitor:
#    status 2, the port named as gone; two boards on COM1 and COM2 written at once;
# 4. in a console of its own (a pseudo-terminal), the console's code page as it was after
#    h8sx, which writes UTF-8 while it runs, ended with status 0 and with a failure.
# Skipped (status 77) without h8sx-sim.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/sim-lib.sh"
sim="$1" prefix="$2" exe="$3" probe="$4" work="$5"
require_sim "$sim"
run="$here/../../cmake/wine-run.sh"

rm -rf "$work"
mkdir -p "$work/app"
work="$(cd "$work" && pwd -P)"
cp "$exe" "$work/app/h8sx.exe"
printf '103' > "$work/app/vtq1653.par"  # COM1, SOUND off
trap stop_sim EXIT
fail() { echo "FAIL: $*"; exit 1; }

python3 - "$work/app.mot" <<'EOF2'
import random, sys
rng = random.Random(10)
def rec(t, ab, addr, data):
    body = bytes([ab + len(data) + 1]) + addr.to_bytes(ab, "big") + data
    return "S%s%s%02X\r\n" % (t, body.hex().upper(), ~sum(body) & 0xFF)
text = rec("0", 2, 0, b"cli")
for base, n in ((0x1000, 700), (0x5000, 300)):  # not at 0: --lenient places it from address 0
    for at in range(0, n, 32):
        text += rec("2", 3, base + at, bytes(rng.randrange(255) for _ in range(min(32, n - at))))
text += rec("8", 3, 0, b"")
open(sys.argv[1], "w", newline="").write(text)
EOF2

start_sim "$sim" "$prefix" "$work/sim.log" --erase-ms 100 --flash-out "$work/flash.bin"
cd "$work"
"$run" "$prefix" app/h8sx.exe check --lenient app.mot --out image.bin > check.out 2> check.err || fail "check: $(cat check.err)"
status=0
"$run" "$prefix" app/h8sx.exe write --lenient --bit-rate 57600 app.mot > write.out 2> write.err || status=$?
cat write.err
[ "$status" = 0 ] || fail "write ended with status $status"
grep -q ' 内部ＲＯＭ消去中' write.err || fail "no erase text in UTF-8"
grep -q ' 書き込み正常終了' write.err || fail "no success text"
grep -q ' 50 %' write.err || fail "no line at 50 %"
grep -q 'as the programmed blocks account for' write.err || fail "no sum check"
grep -q 'host>board 50 57600' sim.log || fail "no block at 57600 bit/s"
! grep -q $'\r.' write.err || fail "a carriage return inside the output"
grep -q 'first record lies at address 0x1000' write.err || fail "no warning for the first address"
python3 - image.bin flash.bin <<'EOF2' || fail "the flash differs from check --out"
import sys
image, flash = (open(p, "rb").read() for p in sys.argv[1:])
assert len(flash) == 1 << 20 and flash.startswith(image) and set(flash[len(image):]) <= {0xFF}, "flash"
EOF2

status=0
(sleep 0.5; printf 'x\n'; sleep 10) | timeout 60 "$run" "$prefix" app/h8sx.exe monitor --expect 仮想ボード起動 --timeout 20 \
  > monitor.out 2> monitor.err || status=$?
cat monitor.out
[ "$status" = 0 ] || fail "monitor ended with status $status: $(cat monitor.err)"
grep -q 'H8SX1622 virtual board 仮想ボード起動' monitor.out || fail "no greeting on standard output"

status=0
"$run" "$prefix" app/h8sx.exe reset --port COM9 2> port.err || status=$?
[ "$status" = 2 ] || fail "a missing port ended with status $status"

# The board taken away under the monitor (its process killed hangs its terminal up, as an
# unplugged adapter does): the port named as gone, status 2.
status=0
(sleep 3; kill -9 "$sim_pid") &
timeout 60 "$run" "$prefix" app/h8sx.exe monitor < /dev/null > gone.out 2> gone.err || status=$?
wait
sim_pid=
[ "$status" = 2 ] || fail "a board taken away ended the monitor with status $status: $(cat gone.err)"
grep -q 'COM1 went away' gone.err || fail "the port was not named as gone: $(cat gone.err)"

# Two boards at once, COM1 and COM2 of one virtual station: both written, verified, each
# flash byte for byte as check --out foretells.
start_sim "$sim" "$prefix" "$work/station.log" --boards 2 --erase-ms 100 --flash-out "$work/station{n}.bin"
[ -e "$prefix.com2" ] || fail "no second board on COM2"
status=0
"$run" "$prefix" app/h8sx.exe write --lenient --port COM1,COM2 app.mot > station.out 2> station.err || status=$?
[ "$status" = 0 ] || fail "the station ended with status $status: $(cat station.err)"
grep -q '^COM2: .*書き込み正常終了' station.err || fail "no COM2 line: $(cat station.err)"
grep -q '2 boards: 2 done, 0 failed' station.err || fail "no summary: $(cat station.err)"
python3 - image.bin station1.bin station2.bin <<'EOF2' || fail "a board's flash differs from check --out"
import sys
image = open(sys.argv[1], "rb").read()
for p in sys.argv[2:]:
    flash = open(p, "rb").read()
    assert len(flash) == 1 << 20 and flash.startswith(image) and set(flash[len(image):]) <= {0xFF}, p
EOF2
stop_sim

cp "$probe" app/probe.exe
printf '%s\r\n' '@echo off' 'app\probe.exe code-page > pages.txt' 'app\h8sx.exe check app.mot > NUL 2> NUL' \
  'app\probe.exe code-page >> pages.txt' 'app\h8sx.exe reset --port COM9 2> NUL' \
  'app\probe.exe code-page >> pages.txt' > console.cmd
script -qc "$(printf '%q ' "$run" "$prefix" cmd /c console.cmd)" /dev/null < /dev/null > console.out 2>&1 || true
pages="$(tr -d '\r' < pages.txt 2> /dev/null | paste -sd ' ' || true)"
first="${pages%% *}"
case "$first" in 0 | 65001 | "") fail "no console with a code page of its own to look at: '$pages'" ;; esac
[ "$pages" = "$first $first $first" ] || fail "the console's code page before, after a success, after a failure: $pages"
echo "PASS"
