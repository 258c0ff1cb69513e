#!/usr/bin/env bash
# h8sx-writer.exe under wine at the screen scales of Windows' display settings: 100 %,
# 125 %, 150 % and 200 % (LogPixels 96, 120, 144, 192), one start of the program each:
#   dpi-test.sh PREFIX WRITER.exe PROBE.exe WORKDIR
# At each scale both windows must have the laid-out client area and controls times the
# scale (at 96 exactly the tables' pixels), and every caption must fit its control in the
# control's own font (win32_probe check-scale). At 96, both windows are also told of a
# change to 144 and back, as when moved to a screen of another scale. A screenshot of each
# scale is left in WORKDIR (dpiN.png, dpi96-to-144.png); back at 96 the screen must be the
# first start's pixel for pixel.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix="$(realpath -m "$1")" writer="$2" probe_exe="$3" work="$4"
. "$here/display-lib.sh"
run="$here/../../cmake/wine-run.sh"

rm -rf "$work"
mkdir -p "$work/app"
work="$(cd "$work" && pwd -P)"
cp "$writer" "$work/app/"

xvfb_pid= writer_pid=
cleanup() {
  [ -n "$writer_pid" ] && kill "$writer_pid" 2>/dev/null || true
  stop_wineserver "$prefix"
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
# Room for both windows at 200 %.
start_display "$work" 2400x1400

probe() { "$run" "$prefix" "$probe_exe" "$@" | tr -d '\r'; }
fail() { echo "FAILED: $*"; exit 1; }
shot() { import -window root "$work/$1.png" 2>/dev/null || true; }

for dpi in 96 120 144 192; do
  echo "== LogPixels $dpi"
  # Wine reads the scale from either key, at a process's start.
  hex=$(printf '%08x' "$dpi")
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n"LogPixels"=dword:%s\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts]\r\n"LogPixels"=dword:%s\r\n' \
    "$hex" "$hex" > "$work/dpi.reg"
  "$run" "$prefix" regedit /S "$(printf 'Z:%s' "${work//\//\\}")\\dpi.reg" > /dev/null 2>&1 ||
    fail "regedit did not take LogPixels $dpi"
  (cd "$work/app" && exec "$run" "$prefix" ./h8sx-writer.exe) > "$work/writer$dpi.out" 2>&1 &
  writer_pid=$!
  probe wait-window 60 || fail "the main window did not appear"
  # The monitor window beside it; VIEW would open the port first.
  probe show Form2 || fail "the monitor window cannot be shown"
  sleep 0.5
  shot "dpi$dpi"
  probe check-scale "$dpi" || fail "the windows at $dpi DPI"
  if [ "$dpi" = 96 ]; then
    probe dpi-change 144 || fail "no change of DPI"
    sleep 0.5
    shot dpi96-to-144
    probe check-scale 144 || fail "the windows after a change to 144 DPI"
    probe dpi-change 96 || fail "no change of DPI"
    probe check-scale 96 || fail "the windows after a change back to 96 DPI"
    sleep 0.5
    shot dpi96-again
    differ=$(compare -metric AE "$work/dpi96.png" "$work/dpi96-again.png" /dev/null 2>&1 || true)
    [ "$differ" = 0 ] || fail "back at 96 DPI, $differ pixels differ from the first start"
  fi
  probe close
  status=0
  wait "$writer_pid" || status=$?
  writer_pid=
  [ "$status" = 0 ] || fail "h8sx-writer.exe ended with status $status at $dpi DPI"
done
echo "scales: all passed"
