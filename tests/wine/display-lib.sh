# Shared by the wine test scripts that show windows.

# start_display WORKDIR WxH: a virtual X display of our own; Xvfb picks a free number and
# tells it on a descriptor. Sets xvfb_pid and DISPLAY.
start_display() {
  Xvfb -displayfd 3 -screen 0 "$2x24" -nolisten tcp 3> "$1/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -1 "$1/display")"
}

# stop_wineserver PREFIX: the prefix's server and desktop end (before their display does:
# a next run would otherwise meet a server still tied to a display that is gone).
stop_wineserver() {
  WINEPREFIX="$1" WINEDEBUG=-all timeout 20 wineserver -w > /dev/null 2>&1 ||
    WINEPREFIX="$1" wineserver -k > /dev/null 2>&1 || true
}
