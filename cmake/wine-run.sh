#!/usr/bin/env bash
# Runs a Windows program under wine in a throw-away prefix, never the user's ~/.wine:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made on first use. Its COM1 and COM2 are wired, through the registry, to the
# paths PREFIX.com1 and PREFIX.com2 beside it, which tests make links to pseudo-terminals
# (h8sx-sim --link; a prefix made before COM2 was wired is made again); wine
# itself would otherwise map COM1 to /dev/ttyS0 again each time it starts. Wine's own
# diagnostics are off; H8SX_WINEDEBUG sets its channels (WINEDEBUG) to see them.
set -euo pipefail
prefix="$1"
shift
export WINEPREFIX="$prefix" WINEDEBUG="${H8SX_WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
# Debian's launcher looks for a 32-bit loader first; the 64-bit one is all we need.
wine=(wine)
[ -x /usr/lib/wine/wine64 ] && wine=(/usr/lib/wine/wine64)
wineserver=wineserver
[ -x /usr/lib/wine/wineserver64 ] && wineserver=/usr/lib/wine/wineserver64
# Wine's loader sits at a fixed address below 2 GiB, and the system puts its heap anywhere
# in the GiB above it: now and then over the page wine must map at 0x7ffe0000, and the
# program dies before it runs ("failed to map the shared user data: c0000018"). Without
# address randomisation (for wine and every process it starts) the heap stays beside it.
if setarch "$(uname -m)" -R true 2> /dev/null; then wine=(setarch "$(uname -m)" -R "${wine[@]}"); fi

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.h8sx-ready-2" ]; then
    rm -rf "$prefix"
    "${wine[@]}" wineboot -i >/dev/null 2>&1
    "${wine[@]}" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$prefix.com1" /f >/dev/null 2>&1
    "${wine[@]}" reg add 'HKLM\Software\Wine\Ports' /v COM2 /t REG_SZ /d "$prefix.com2" /f >/dev/null 2>&1
    # Wine draws the window frames itself: a bare X server (Xvfb) has no window manager.
    "${wine[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    # Japanese in the system's own dialogs (the open dialog's filter): the dialog face
    # borrows the glyphs it lacks from an installed CJK gothic, as on Windows.
    "${wine[@]}" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
      /t REG_MULTI_SZ /d 'NotoSansCJK-Regular.ttc,Noto Sans CJK JP' /f >/dev/null 2>&1
    "$wineserver" -w
    touch "$prefix/.h8sx-ready-2"
  fi
) 9>"$prefix.lock"

# A server for the prefix that outlives each program by a few seconds. Debian starts it
# with -p0: it ends the moment its last program does, and a program started just then (the
# next test, the next step of a script) reaches a server on its way out and dies before
# it runs ("wine client error:0: recvmsg: Connection reset by peer", status 1). Nothing is
# started when one runs already. Its output goes nowhere: a test's output would otherwise
# stay open with it.
"$wineserver" -p5 < /dev/null > /dev/null 2>&1 || true

exec "${wine[@]}" "$@"
