#!/usr/bin/env bash
# A cross-built h8sx, run by its emulator (qemu-user), writes to the native virtual board:
#   qemu-write-test.sh SIM H8SX WORKDIR -- EMULATOR... CROSS_H8SX
# examples/hello.mot is written at the default 38400 bit/s, then again at 57600 with every
# block read back: status 0 each time, and the board's flash byte for byte what the native
# 'h8sx check --out' says the blocks carry, erased behind. (qemu-user 7.2 has no termios2,
# so the custom rates such as 125000 are left to the native tests.)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/../wine/sim-lib.sh"
sim="$1" h8sx="$2" work="$3"
shift 4
cross=("$@")
file="$here/../../examples/hello.mot"
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
trap stop_sim EXIT
"$h8sx" check "$file" --out "$work/image.bin" > /dev/null
start_sim "$sim" "$work/board" "$work/sim.log" --erase-ms 100 --flash-out "$work/flash.bin"
size="$(stat -c %s "$work/image.bin")"
for options in "" "--bit-rate 57600 --verify=read"; do
  rm -f "$work/flash.bin"
  # shellcheck disable=SC2086 # the options are words
  "${cross[@]}" write --quiet --port "$work/board.com1" $options "$file" || fail "write $options: status $?"
  [ "$(stat -c %s "$work/flash.bin")" = $((1 << 20)) ] || fail "write $options: no flash of 1 MiB"
  cmp -n "$size" "$work/image.bin" "$work/flash.bin" || fail "write $options: the flash differs from the image"
  [ "$(tail -c +$((size + 1)) "$work/flash.bin" | tr -d '\377' | wc -c)" = 0 ] ||
    fail "write $options: the flash is not erased behind the image"
done
grep -q 'host>board 50 57600' "$work/sim.log" || fail "no block at 57600 bit/s"
echo "PASS"
