#!/usr/bin/env bash
# The real h8sx-writer.exe under wine on a virtual X display, with the virtual board on
# COM1, driven from outside by win32_probe as an operator would drive it:
#   frontend-test.sh SIM PREFIX WRITER.exe PROBE.exe WORKDIR
# 1. VIEW, keys of the monitor window ("small letter" too) and their echo, MON.CLR;
# 2. FWRITE through the boot-mode dialogue to the file dialog, which is cancelled;
# 3. FWRITE against a board that does not answer the device inquiry: "応答ありました２"
#    stays up for that wait, then the failure;
# 4. a port button and SOUND, saved at once in the settings file beside the program;
# 5. closing the main window ends the program with status 0.
# Screenshots are left in WORKDIR. Skipped (status 77) without h8sx-sim.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/sim-lib.sh"
sim="$1" prefix="$2" writer="$3" probe_exe="$4" work="$5"
require_sim "$sim"
run="$here/../../cmake/wine-run.sh"

rm -rf "$work"
mkdir -p "$work/app"
cp "$writer" "$work/app/"
printf '113' > "$work/app/vtq1653.par"  # COM1, SOUND ticked

xvfb_pid= writer_pid=
cleanup() {
  stop_sim
  [ -n "$writer_pid" ] && kill "$writer_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

# A display of our own: Xvfb picks a free number and tells it on a descriptor.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3> "$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"

# The probe writes text-mode lines (CR LF).
probe() { "$run" "$prefix" "$probe_exe" "$@" | tr -d '\r'; }
fail() { echo "FAILED: $*"; exit 1; }
shot() { import -window root "$work/$1.png" 2>/dev/null || true; }

start_sim "$sim" "$prefix" "$work/sim1.log" --erase-ms 300
(cd "$work/app" && exec "$run" "$prefix" ./h8sx-writer.exe) > "$work/writer.out" 2>&1 &
writer_pid=$!
probe wait-window 60 || fail "the main window did not appear"

echo "== VIEW and the monitor keys"
probe click Form1 Button2
probe click Form2 Button1                       # "A": the first byte starts the board's program
probe wait-text Form2 Memo1 20 $'仮想ボード起動\r\nA' || fail "no banner and echo in the monitor"
probe click Form2 CheckBox1                     # "small letter"
probe click Form2 Button2                       # "B", now "b"
probe click Form2 Button41                      # "Enter": CR, answered with CR LF
probe wait-text Form2 Memo1 20 $'\r\nAb\r\n' || fail "small letter or Enter not sent"
shot monitor
probe click Form2 Button42                      # MON.CLR
probe wait-text Form2 Memo1 5 "" >/dev/null
[ -z "$(probe text Form2 Memo1 | tr -d '\r\n')" ] || fail "MON.CLR left text behind"

echo "== FWRITE to the file dialog"
probe click Form1 Button1
probe watch 60 "書き込みファイル選択" "ＣＰＵボード応答ありません" "ＣＰＵ応答ありません" > "$work/fwrite.statuses" || true
cat "$work/fwrite.statuses"
[ "$(tail -1 "$work/fwrite.statuses")" = "書き込みファイル選択" ] || fail "FWRITE did not reach the file dialog"
probe wait-dialog 20 || fail "no file dialog"
shot dialog
probe cancel-dialog
grep -q "host>board 43" "$work/sim1.log" || fail "the board's log has no user MAT selection"
grep -q "board>host E6" "$work/sim1.log" || fail "the board's log has no 0xE6"
stop_sim

echo "== FWRITE against a board silent after bit-rate matching"
start_sim "$sim" "$prefix" "$work/sim2.log" --silent-at device-inquiry
# Let the first FWRITE finish restarting the board before the second.
probe wait-dialog 0 && fail "the file dialog is still open"
sleep 1
probe click Form1 Button1
probe watch 30 "応答ありました２" > "$work/silent.statuses" || fail "never showed 応答ありました２"
probe watch 30 "ERR1 応答ありません" >> "$work/silent.statuses" || fail "no device inquiry failure"
cat "$work/silent.statuses"
shot silent

echo "== port choice and SOUND"
probe click Form1 RadioButton3
probe click Form1 CheckBox1                     # SOUND off
for _ in $(seq 50); do [ "$(cat "$work/app/vtq1653.par")" = "303" ] && break; sleep 0.1; done
[ "$(cat "$work/app/vtq1653.par")" = "303" ] || fail "settings file holds '$(cat "$work/app/vtq1653.par")', not 303"

echo "== closing"
probe close
status=0
wait "$writer_pid" || status=$?
writer_pid=
[ "$status" = 0 ] || fail "h8sx-writer.exe ended with status $status"
echo "front end: all steps passed"
