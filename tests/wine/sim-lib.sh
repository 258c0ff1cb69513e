# Shared by the wine test scripts, tests/arm64 and tools/screenshots.sh: the virtual board
# on COM1 of a wine prefix (or on any link), and waiting.

# Exits 77 (the test counts as skipped) when no h8sx-sim was given.
require_sim() {
  if [ -z "$1" ] || [ ! -x "$1" ]; then
    echo "skipped: no h8sx-sim (configure with -DH8SX_SIM_EXECUTABLE=path/to/h8sx-sim of a native build)"
    exit 77
  fi
}

# start_sim SIM PREFIX LOG [options...]: the board on a pseudo-terminal that
# PREFIX.com1 links to (the prefix's COM1, see cmake/wine-run.sh); with --boards 2, the
# second on PREFIX.com2 (COM2); sets sim_pid.
start_sim() {
  local sim="$1" prefix="$2" log="$3"
  shift 3
  rm -f "$prefix.com1" "$prefix.com2"
  "$sim" --link "$prefix.com{n}" --log "$log" --timeout 300 "$@" > "$log.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -e "$prefix.com1" ] && return 0
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "h8sx-sim did not come up:"; cat "$log.out"
  return 1
}

stop_sim() {
  if [ -n "${sim_pid:-}" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}

# The path wine gives a Linux file: drive Z: is the root.
winpath() { local p; p="$(readlink -f "$1")"; printf 'Z:%s' "${p//\//\\}"; }
# until SECONDS COMMAND...: until the command succeeds, looking every 50 ms.
until_true() {
  local tries=$(($1 * 20))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.05
  done
}
