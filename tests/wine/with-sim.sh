#!/usr/bin/env bash
# Runs a command with the virtual board serving COM1 of a wine prefix:
#   with-sim.sh SIM PREFIX WORKDIR [h8sx-sim options...] -- COMMAND...
# Skipped (status 77) without h8sx-sim. The board's log is WORKDIR/sim.log.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/sim-lib.sh"
sim="$1" prefix="$2" work="$3"
shift 3
opts=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
shift
require_sim "$sim"
mkdir -p "$work"
trap stop_sim EXIT
start_sim "$sim" "$prefix" "$work/sim.log" "${opts[@]}"
status=0
"$@" || status=$?
exit $status
