#!/usr/bin/env bash
# Builds the Windows program and runs it under wine with COM1 wired to the virtual board,
# in a wine prefix of its own under build-mingw/ (never ~/.wine). Extra arguments go to
# the virtual board.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh
cmake --preset default >/dev/null
cmake --build --preset default --target h8sx-sim
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target h8sx-writer

prefix="$PWD/build-mingw/try-wineprefix"
mkdir -p build-mingw/try
cp build-mingw/bin/h8sx-writer.exe build-mingw/try/
build/bin/h8sx-sim --link "$prefix.com1" --log build-mingw/try/h8sx-sim.log "$@" > build-mingw/try/h8sx-sim.out &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
echo "Virtual board on COM1 (log: build-mingw/try/h8sx-sim.log). Tick COM1 and press FWRITE."
cd build-mingw/try && ../../cmake/wine-run.sh "$prefix" ./h8sx-writer.exe
