#!/usr/bin/env bash
# Makes the README's pictures again, from the virtual board on a virtual X display (Xvfb):
#   docs/h8sx-writer-linux.png    the Qt windows in the middle of an FWRITE, the progress
#                                 bar running, the monitor showing the board's text
#   docs/h8sx-writer-windows.png  the same of h8sx-writer.exe under wine
#   docs/h8sx-write.png           a terminal with `h8sx write` (where h8sx is built)
#   docs/h8sx-station.png         a terminal with a station of four boards, its table
# Builds what it needs in build/ and build-mingw/. Run it again when the windows change,
# and look at the pictures before committing them.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
tools/setup-debian.sh
# A window manager frames the Qt windows as a desktop would (wine draws its own frames);
# a station's table is caught in a terminal of tmux.
if ! command -v openbox > /dev/null || ! command -v tmux > /dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq openbox tmux > /dev/null
fi
jobs="${H8SX_JOBS:-$(nproc)}"
cli=()
[ -f cli/CMakeLists.txt ] && cli=(h8sx)
cmake --preset default > /dev/null
cmake --build --preset default -j "$jobs" --target h8sx-writer h8sx-sim "${cli[@]}"
if [ "${H8SX_SKIP_WINDOWS:-0}" != 1 ]; then
  cmake --preset mingw > /dev/null
  cmake --build --preset mingw -j "$jobs" --target h8sx-writer win32_probe
fi

work="$root/build/screenshots"
rm -rf "$work"
mkdir -p "$work" docs
pids=()
cleanup() {
  stop_sim
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  if [ -d "$work/wineprefix" ]; then
    WINEPREFIX="$work/wineprefix" timeout 20 wineserver -k > /dev/null 2>&1 || true
  fi
}
trap cleanup EXIT
fail() { echo "screenshots: $*" >&2; exit 1; }
# start_sim, stop_sim, until_true, winpath.
. tests/wine/sim-lib.sh

# A program of 48 KiB: 384 blocks, about 14 s at 38400 bit/s on a paced line.
python3 - "$work/firmware.mot" <<'PY'
import random, sys
rng = random.Random(1622)
def record(kind, address, data=b""):
    width = {0: 2, 3: 4, 7: 4}[kind]
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + data
    return "S%d%s%02X" % (kind, body.hex().upper(), ~sum(body) & 0xFF)
lines = [record(0, 0, b"firmware")]
for address in range(0, 48 * 1024, 16):
    lines.append(record(3, address, bytes(rng.randrange(256) for _ in range(16))))
lines.append(record(7, 0))
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
PY
write_seconds=14

# terminal_picture TEXT PNG: the text as a terminal shows it. The text goes on the command
# line (ImageMagick's policy forbids reading it from a file), its percent signs and
# backslashes escaped; Pango finds the fixed-pitch CJK face.
terminal_picture() {
  convert -background '#1d1f21' -fill '#d8dee4' -define pango:markup=false -font 'Noto Sans Mono CJK JP' \
    -pointsize 12 "pango:$(sed 's/\\/\\\\/g; s/%/%%/g' "$1")" -bordercolor '#1d1f21' -border 14 -strip "$2"
  echo "$2"
}

# start_display: a virtual screen of its own; sets DISPLAY.
start_display() {
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 1100x600x24 -wr -nolisten tcp 3> "$work/display" 2> /dev/null &
  pids+=($!)
  until_true 10 test -s "$work/display" || fail "Xvfb did not start"
  export DISPLAY=":$(head -1 "$work/display")"
}

# start_board NAME: the virtual board at the real line rate, its terminal at NAME.com1, its
# log in NAME-board.log.
start_board() { start_sim "$root/build/bin/h8sx-sim" "$1" "$1-board.log" --pace || fail "no virtual board"; }
logged() { grep -q "$2" "$1"; }

# crop SHOT OUT: OUT is the part of SHOT that the windows cover, in a margin of the
# screen's white.
crop() { convert "$1" -trim +repage -bordercolor white -border 12 -strip "$2"; }

echo "== the Qt windows"
start_display
openbox > /dev/null 2>&1 &
pids+=($!)
sleep 1
start_board "$work/qt"
# A copy of the writer, its settings beside it: COM1, SOUND off.
mkdir -p "$work/qt-app"
cp build/bin/h8sx-writer "$work/qt-app/"
printf '103' > "$work/qt-app/vtq1653.par"
H8SX_COM1="$work/qt.com1" "$work/qt-app/h8sx-writer" > "$work/qt-writer.out" 2>&1 &
pids+=($!)
main="$(xdotool search --sync --onlyvisible --name '^Q\.V\.N$' | head -1)"
# VIEW, then the monitor's "A": the board's program starts and greets.
xdotool mousemove --window "$main" 205 132 click 1
monitor="$(xdotool search --sync --onlyvisible --name '^SIO MONITOR & KEYBOARD$' | head -1)"
sleep 0.5
xdotool mousemove --window "$monitor" 20 36 click 1
until_true 10 logged "$work/qt-board.log" "own program started" || fail "the board's program did not start"
sleep 1
# FWRITE: once the flash is erased the writer asks for the file.
xdotool mousemove --window "$main" 43 52 click 1
until_true 60 logged "$work/qt-board.log" "erased" || fail "FWRITE did not reach the erase"
sleep 2
xdotool type --delay 10 "$work/firmware.mot"
xdotool key Return
sleep $((write_seconds / 2))
# The pointer rests on the heading: its tooltip tells the version.
xdotool mousemove --window "$main" 120 8
sleep 1.5
import -window root "$work/qt.png"
crop "$work/qt.png" docs/h8sx-writer-linux.png
echo "docs/h8sx-writer-linux.png"
stop_sim
for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
pids=()

if [ "${H8SX_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "== h8sx-writer.exe under wine"
  start_display
  prefix="$work/wineprefix"
  run() { "$root/cmake/wine-run.sh" "$prefix" "$@"; }
  probe() { run "$root/build-mingw/bin/win32_probe.exe" "$@" | tr -d '\r'; }
  # The prefix is made by its first program, before the board is linked to its COM1.
  probe wait-window 0 > /dev/null 2>&1 || true
  start_board "$prefix"
  mkdir -p "$work/wine-app"
  cp build-mingw/bin/h8sx-writer.exe "$work/wine-app/"
  printf '103' > "$work/wine-app/vtq1653.par"
  (cd "$work/wine-app" && exec "$root/cmake/wine-run.sh" "$prefix" ./h8sx-writer.exe) > "$work/wine-writer.out" 2>&1 &
  pids+=($!)
  probe wait-window 60 || fail "the main window did not appear"
  probe click Form1 Button2
  sleep 1
  probe click Form2 Button1
  probe wait-text Form2 Memo1 20 "仮想ボード起動" > /dev/null || fail "no greeting in the monitor"
  probe click Form1 Button1
  until_true 60 logged "$prefix-board.log" "erased" || fail "FWRITE did not reach the erase"
  probe open-file 30 "$(winpath "$work/firmware.mot")" || fail "the file dialog did not take the file"
  sleep $((write_seconds / 2))
  import -window root "$work/wine.png"
  crop "$work/wine.png" docs/h8sx-writer-windows.png
  echo "docs/h8sx-writer-windows.png"
  stop_sim
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  pids=()
fi

if [ ${#cli[@]} -gt 0 ]; then
  echo "== h8sx write in a terminal"
  start_board "$work/cli"
  command="h8sx write --port COM1 --bit-rate 125000 firmware.mot"
  # Through a pseudo-terminal, as typed: the progress line redraws itself in place.
  (cd "$work" && H8SX_COM1="$work/cli.com1" COLUMNS=80 script -qec "$root/build/bin/$command" /dev/null) > "$work/cli.raw" || true
  # What the terminal shows at the end: each line as its last redrawing left it.
  python3 - "$work/cli.raw" "$work/cli.txt" "$command" <<'PY'
import re, sys
raw = open(sys.argv[1], encoding="utf-8", errors="replace", newline="").read()
raw = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", raw).replace("\r\n", "\n")
lines = [line.split("\r")[-1] for line in raw.split("\n")]
while lines and not lines[-1].strip():
    lines.pop()
open(sys.argv[2], "w", encoding="utf-8").write("$ " + sys.argv[3] + "\n" + "\n".join(lines) + "\n$ \n")
PY
  terminal_picture "$work/cli.txt" docs/h8sx-write.png

  echo "== a station of four boards in a terminal"
  # Four boards of one virtual station, one of them failing its verify (a second process),
  # in a terminal of tmux: the table as it stands in the middle of the write.
  "$root/build/bin/h8sx-sim" --boards 3 --pace --erase-ms 1500 --link "$work/station{n}" --timeout 120 \
    > "$work/station.out" 2>&1 &
  pids+=($!)
  "$root/build/bin/h8sx-sim" --pace --erase-ms 1500 --flip-bit-after-block 200 --link "$work/station4" \
    --timeout 120 > "$work/station4.out" 2>&1 &
  pids+=($!)
  until_true 10 test -e "$work/station3" -a -e "$work/station4" || fail "no station"
  command="h8sx write --port COM1,COM2,COM3,COM4 --log production.csv firmware.mot"
  tmux kill-session -t h8sx-station 2> /dev/null || true
  tmux new-session -d -s h8sx-station -x 92 -y 30 -c "$work" \
    "env PATH='$root/build/bin:$PATH' H8SX_COM1='$work/station1' H8SX_COM2='$work/station2' \
     H8SX_COM3='$work/station3' H8SX_COM4='$work/station4' PS1='$ ' bash --norc"
  sleep 0.5
  tmux send-keys -t h8sx-station "$command" Enter
  sleep 9
  tmux capture-pane -p -t h8sx-station > "$work/station-mid.txt"
  station_ended() { tmux capture-pane -p -t h8sx-station | grep -q 'boards:'; }
  until_true 60 station_ended || fail "the station did not end"
  tmux capture-pane -p -t h8sx-station > "$work/station-end.txt"
  tmux kill-session -t h8sx-station
  { sed '/^\s*$/d' "$work/station-mid.txt"; echo; echo "  ... and when every board has ended:"; echo
    sed -n '/^PORT/,$p' "$work/station-end.txt" | sed '/^\s*$/d'; } > "$work/station.txt"
  terminal_picture "$work/station.txt" docs/h8sx-station.png
else
  echo "h8sx is not built here: docs/h8sx-write.png left as it is"
fi
