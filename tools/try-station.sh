#!/usr/bin/env bash
# A flashing station on the virtual boards: builds h8sx and h8sx-sim, starts four boards
# in one h8sx-sim (each on a pseudo-terminal of its own, taken away for a few seconds after
# each write and replaced by a new one), and writes FILE (default examples/hello.mot) to
# every board that comes, each with its own serial number and a row in a production log,
# until q. Extra arguments go to h8sx write (e.g. --bit-rate 125000, --repeat instead of
# --repeat=auto).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh
cmake --preset default > /dev/null
cmake --build --preset default --target h8sx h8sx-sim

work=build/station
mkdir -p "$work"
[ -f "$work/next-serial" ] || echo 1 > "$work/next-serial"
build/bin/h8sx-sim --boards 4 --pace --erase-ms 1500 --swap 3 > "$work/boards.out" &
sim=$!
trap 'kill $sim 2> /dev/null || true' EXIT
for _ in $(seq 50); do [ "$(wc -l < "$work/boards.out")" -ge 4 ] && break; sleep 0.1; done
ports="$(head -n 4 "$work/boards.out" | paste -sd, -)"
echo "Four virtual boards: $ports"
echo "Production log: $work/production.csv; next serial number: $work/next-serial"
build/bin/h8sx write --port "$ports" --repeat=auto --log "$work/production.csv" \
  --serial 0x400:u32be --serial-next "$work/next-serial" "$@" "${FILE:-examples/hello.mot}"
