#!/usr/bin/env bash
# Runs a Windows program under wine in a throw-away prefix, never the user's ~/.wine:
#   wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made on first use. Its COM1 is wired, through the registry, to the path
# PREFIX.com1 beside it, which tests make a link to a pseudo-terminal (h8sx-sim --link); wine
# itself would otherwise map COM1 to /dev/ttyS0 again each time it starts.
set -euo pipefail
prefix="$1"
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
# Debian's launcher looks for a 32-bit loader first; the 64-bit one is all we need.
wine=wine
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.h8sx-ready" ]; then
    rm -rf "$prefix"
    "$wine" wineboot -i >/dev/null 2>&1
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$prefix.com1" /f >/dev/null 2>&1
    # Wine draws the window frames itself: a bare X server (Xvfb) has no window manager.
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    # Japanese in the system's own dialogs (the open dialog's filter): the dialog face
    # borrows the glyphs it lacks from an installed CJK gothic, as on Windows.
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma \
      /t REG_MULTI_SZ /d 'NotoSansCJK-Regular.ttc,Noto Sans CJK JP' /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.h8sx-ready"
  fi
) 9>"$prefix.lock"

exec "$wine" "$@"
