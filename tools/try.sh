#!/usr/bin/env bash
# Builds h8sx-writer, h8sx (the command line) and the virtual board, and starts the window
# with COM1 wired to the board, so that FWRITE answers at once. Extra arguments go to the
# virtual board (see: build/bin/h8sx-sim --help).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh
cmake --preset default >/dev/null
cmake --build --preset default --target h8sx-writer h8sx h8sx-sim

link="${XDG_RUNTIME_DIR:-/tmp}/h8sx-COM1"
build/bin/h8sx-sim --link "$link" --log build/h8sx-sim.log "$@" > build/h8sx-sim.out &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
echo "Virtual board on $link (log: build/h8sx-sim.log). Tick COM1 and press FWRITE."
H8SX_COM1="$link" build/bin/h8sx-writer
