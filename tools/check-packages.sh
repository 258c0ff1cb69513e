#!/usr/bin/env bash
# Makes the release packages from the builds tools/test.sh leaves (build/ and, unless
# H8SX_SKIP_WINDOWS=1, build-mingw/) and checks them as a user meets them:
#   the .deb, unpacked with dpkg-deb -x: each program's --version, a man page for each,
#   the desktop entry (desktop-file-validate), Depends without build-only packages, and
#   lintian without errors;
#   the .zip, unpacked: each .exe's --version under wine, no DLL beyond Windows' own, and
#   the README and licence as CR LF text.
# h8sx, the command line, is checked where it was built. With a directory argument the
# packages are copied there once they have passed.
set -euo pipefail
cd "$(dirname "$0")/.."
dist="${1:-}"
fail() { echo "FAILED: $*" >&2; exit 1; }
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)"
[ -n "$version" ] || fail "no configured build/ (run tools/test.sh first)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# check_version PROGRAM NAME: PROGRAM --version says "NAME VERSION" (line ends aside).
check_version() {
  local said
  said="$("${@:3}" "$1" --version | tr -d '\r')" || fail "$2 --version failed"
  [ "$said" = "$2 $version" ] || fail "$2 --version says '$said', not '$2 $version'"
  echo "$2 --version: $said"
}

# A man page names the other programs' pages, not its own; h8sx's holds every command.
check_man_page() {
  local page command
  page="$(zcat "$1" | sed 's/\\-/-/g')"
  # Looked for in a string, not through a pipe: grep -q ending early must not pass it.
  ! grep -qF "$2(1)" <<< "$(sed -n '/^\.SH SEE ALSO/,$p' <<< "$page")" || fail "the man page of $2 names itself"
  [ "$2" = h8sx ] || return 0
  for command in write check monitor ram-write reset ports; do
    grep -q "^\.SH \"H8SX ${command^^}\"" <<< "$page" || fail "man h8sx lacks h8sx $command"
  done
}

echo "-- the .deb"
(cd build && cpack -G DEB > "$work/cpack-deb.log") || { cat "$work/cpack-deb.log"; fail "cpack (DEB)"; }
deb="build/h8sx-writer_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"
dpkg-deb -x "$deb" "$work/deb"
for program in h8sx-writer h8sx h8sx-sim; do
  exe="$work/deb/usr/bin/$program"
  if [ ! -e "$exe" ]; then
    [ "$program" = h8sx ] && { echo "h8sx is not built: not checked"; continue; }
    fail "$deb has no /usr/bin/$program"
  fi
  # No display: the version is told before any window is made.
  check_version "$exe" "$program" env -u DISPLAY -u WAYLAND_DISPLAY
  [ -f "$work/deb/usr/share/man/man1/$program.1.gz" ] || fail "no man page of $program"
  check_man_page "$work/deb/usr/share/man/man1/$program.1.gz" "$program"
done
desktop-file-validate "$work/deb/usr/share/applications/h8sx-writer.desktop" || fail "desktop entry"
[ -f "$work/deb/usr/share/icons/hicolor/48x48/apps/h8sx-writer.png" ] || fail "no icon in the hicolor theme"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
grep -q 'libqt6widgets6' <<< "$depends" || fail "Depends lacks the Qt 6 libraries"
! grep -qE -- '-dev\b' <<< "$depends" || fail "Depends names a development package"
lint=0
lintian --fail-on error "$deb" > "$work/lintian.out" 2>&1 || lint=$?
grep -v '^running with root privileges' "$work/lintian.out" || true
[ "$lint" = 0 ] || fail "lintian reports errors"
echo "lintian: no errors"

packages=("$deb")
if [ "${H8SX_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "-- the .zip"
  [ -f build-mingw/CMakeCache.txt ] || fail "no configured build-mingw/ (run tools/test.sh first)"
  (cd build-mingw && cpack -G ZIP > "$work/cpack-zip.log") || { cat "$work/cpack-zip.log"; fail "cpack (ZIP)"; }
  zip="build-mingw/h8sx-writer-${version}-windows-x64.zip"
  [ -f "$zip" ] || fail "no $zip"
  unzip -q "$zip" -d "$work/zip"
  top="$work/zip/h8sx-writer-${version}-windows-x64"
  for text in README.txt LICENSE.txt; do
    [ -f "$top/$text" ] || fail "$zip has no $text"
    ! grep -q $'[^\r]$' "$top/$text" || fail "$text has lines not ending in CR LF"
  done
  # What Windows itself brings: no compiler runtime (libgcc, libstdc++, winpthread) beside.
  windows_own='^(kernel32|user32|gdi32|comctl32|comdlg32|uxtheme|winmm|msvcrt|advapi32|shell32|ole32|oleaut32|setupapi|cfgmgr32|version|shlwapi|imm32|ntdll|ws2_32)\.dll$'
  for program in h8sx-writer h8sx; do
    exe="$top/$program.exe"
    if [ ! -e "$exe" ]; then
      [ "$program" = h8sx ] && { echo "h8sx.exe is not built: not checked"; continue; }
      fail "$zip has no $program.exe"
    fi
    dlls="$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')"
    foreign="$(tr 'A-Z' 'a-z' <<< "$dlls" | grep -vE "$windows_own" || true)"
    [ -z "$foreign" ] || fail "$program.exe needs DLLs that Windows does not bring: $foreign"
    echo "$program.exe needs: $(paste -sd ' ' <<< "$dlls")"
    check_version "$exe" "$program" cmake/wine-run.sh "$PWD/build-mingw/wineprefix"
  done
  packages+=("$zip")
fi

if [ -n "$dist" ]; then
  mkdir -p "$dist"
  cp "${packages[@]}" "$dist/"
fi
echo "packages: all checks passed (${packages[*]})"
