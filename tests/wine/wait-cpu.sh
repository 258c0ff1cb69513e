#!/usr/bin/env bash
# Prints how much CPU h8sx-writer.exe (and wine's server) use while FWRITE waits for a
# 30-second erase of the virtual board: the waits must sleep, not spin.
#   wait-cpu.sh SIM PREFIX WRITER.exe PROBE.exe WORKDIR [SECONDS]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/sim-lib.sh"
. "$here/display-lib.sh"
sim="$1" prefix="$2" writer="$3" probe_exe="$4" work="$5" seconds="${6:-10}"
require_sim "$sim"
run="$here/../../cmake/wine-run.sh"
rm -rf "$work"; mkdir -p "$work/app"
cp "$writer" "$work/app/"; printf '113' > "$work/app/vtq1653.par"
xvfb_pid= writer_pid=
cleanup() { stop_sim; [ -n "$writer_pid" ] && kill "$writer_pid" 2>/dev/null; [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; true; }
trap cleanup EXIT
start_display "$work" 1280x800
probe() { "$run" "$prefix" "$probe_exe" "$@" | tr -d '\r'; }

start_sim "$sim" "$prefix" "$work/sim.log" --erase-ms 30000
(cd "$work/app" && exec "$run" "$prefix" ./h8sx-writer.exe) > "$work/writer.out" 2>&1 &
writer_pid=$!
probe wait-window 60

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
server=$(pgrep -n wineserver || true)
hz=$(getconf CLK_TCK)
# measure WHAT: CPU time of the writer (all its threads) and of wine's server.
measure() {
  local w0 s0 w1 s1
  w0=$(ticks "$writer_pid"); s0=$([ -n "$server" ] && ticks "$server" || echo 0)
  sleep "$seconds"
  w1=$(ticks "$writer_pid"); s1=$([ -n "$server" ] && ticks "$server" || echo 0)
  awk -v w=$((w1 - w0)) -v s=$((s1 - s0)) -v hz="$hz" -v t="$seconds" -v what="$1" 'BEGIN {
    printf "%s, %d s: h8sx-writer.exe %.2f s CPU (%.1f%%), wineserver %.2f s CPU (%.1f%%)\n",
           what, t, w / hz, 100 * w / hz / t, s / hz, 100 * s / hz / t }'
}

measure "idle, the tick alone"
probe click Form1 Button1
probe wait-text Form1 Label3 30 "内部ＲＯＭ消去中" > /dev/null
measure "FWRITE waiting for the erase"
probe close
wait "$writer_pid" || true
writer_pid=
