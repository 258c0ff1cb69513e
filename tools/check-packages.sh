#!/usr/bin/env bash
# Makes the release packages from the builds tools/test.sh leaves (build/ and, unless
# H8SX_SKIP_WINDOWS=1, build-mingw/, unless H8SX_SKIP_ARM64=1, build-arm64/) and checks
# them as a user meets them:
#   the two .deb packages, h8sx and h8sx-writer, unpacked with dpkg-deb -x: each program's
#   --version, a man page for each, the desktop entry (desktop-file-validate), Depends (of
#   h8sx: nothing graphical; of h8sx-writer: h8sx of its own version), the shell
#   completions in h8sx, and lintian without errors;
#   the upgrade from 0.3.0, whose single package h8sx-writer held h8sx and h8sx-sim:
#   'apt-get install ./h8sx_*.deb ./h8sx-writer_*.deb' (and dpkg -i, h8sx first) over a
#   stand-in for it, in roots of their own (not this machine's package database);
#   the completions: found where each shell looks, their syntax, what bash offers for a
#   few lines, and every command of 'h8sx --help' and every option of each command's
#   --help completed by each shell;
#   the arm64 h8sx, as the amd64 one, its programs run under qemu-user;
#   the .zip, unpacked: each .exe's --version under wine, no DLL beyond Windows' own, and
#   the README, licence and PowerShell completion as CR LF text.
# With a directory argument the packages are copied there once they have passed.
set -euo pipefail
cd "$(dirname "$0")/.."
dist="${1:-}"
fail() { echo "FAILED: $*" >&2; exit 1; }
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)"
[ -n "$version" ] || fail "no configured build/ (run tools/test.sh first)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# check_version PROGRAM NAME [RUNNER...]: PROGRAM --version says "NAME VERSION" (line ends
# aside).
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
  for command in write check info monitor ram-write reset ports; do
    grep -q "^\.SH \"H8SX ${command^^}\"" <<< "$page" || fail "man h8sx lacks h8sx $command"
  done
}

# check_programs DIR [RUNNER...]: each program of the unpacked package in DIR tells its
# version and has its man page.
check_programs() {
  local dir="$1" exe program
  for exe in "$dir"/usr/bin/*; do
    program="$(basename "$exe")"
    check_version "$exe" "$program" "${@:2}"
    [ -f "$dir/usr/share/man/man1/$program.1.gz" ] || fail "no man page of $program"
    check_man_page "$dir/usr/share/man/man1/$program.1.gz" "$program"
  done
}

# The completions of h8sx, where bash, zsh and fish look for them.
bash_completion=usr/share/bash-completion/completions/h8sx
zsh_completion=usr/share/zsh/vendor-completions/_h8sx
fish_completion=usr/share/fish/vendor_completions.d/h8sx.fish

# check_cli_package DEB DIR [RUNNER...]: the package h8sx, unpacked into DIR.
check_cli_package() {
  local deb="$1" dir="$2" depends file
  dpkg-deb -x "$deb" "$dir"
  for file in usr/bin/h8sx usr/bin/h8sx-sim "$bash_completion" "$zsh_completion" "$fish_completion"; do
    [ -f "$dir/$file" ] || fail "$deb has no /$file"
  done
  check_programs "$dir" "${@:3}"
  depends="$(dpkg-deb -f "$deb" Depends)"
  echo "h8sx Depends: $depends"
  grep -q 'libstdc++6' <<< "$depends" || fail "h8sx's Depends lack the C++ library"
  ! grep -qiE 'qt|libx|xcb|wayland|libgl|libegl|font|-dev\b' <<< "$depends" || fail "h8sx depends on what it does not need"
  [ "$(dpkg-deb -f "$deb" Breaks)" = "h8sx-writer (<< 0.4.0~)" ] && [ "$(dpkg-deb -f "$deb" Replaces)" = "h8sx-writer (<< 0.4.0~)" ] ||
    fail "h8sx does not take over h8sx-writer's files of 0.3.0 (Breaks, Replaces)"
}

# The upgrade from 0.3.0, in roots of their own: apt and dpkg use the root's package
# database, where the libraries the new packages depend on stand as installed (taken from
# this machine, without their own dependencies or files), and a stand-in for 0.3.0's
# h8sx-writer holds the files that move to h8sx, and its program. (Two packages holding
# one file fail to install: that is checked here too.)
make_stand_in() {
  local old="$work/old" file
  for file in usr/bin/h8sx-writer usr/bin/h8sx usr/bin/h8sx-sim usr/share/man/man1/h8sx.1.gz \
              usr/share/man/man1/h8sx-sim.1.gz; do
    mkdir -p "$old/$(dirname "$file")"
    echo 0.3.0 > "$old/$file"
  done
  mkdir -p "$old/DEBIAN"
  printf '%s\n' 'Package: h8sx-writer' 'Version: 0.3.0' "Architecture: $(dpkg-deb -f "$deb" Architecture)" \
    'Maintainer: h8sx-writer developers <h8sx-writer@users.noreply.github.com>' 'Description: stand-in for 0.3.0' \
    > "$old/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$old" "$work/h8sx-writer_0.3.0.deb" > /dev/null
}

# old_root ROOT: a root with the libraries and 0.3.0 installed.
old_root() {
  local root="$1" admin="$1/var/lib/dpkg" package
  mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" \
           "$root/etc/apt/apt.conf.d" "$root/etc/apt/preferences.d" "$root/etc/apt/sources.list.d" \
           "$root/var/lib/apt/lists/partial" "$root/var/cache/apt/archives/partial" "$root/var/log/apt"
  touch "$admin/status" "$root/etc/apt/sources.list"
  for package in $( (dpkg-deb -f "$deb" Depends; dpkg-deb -f "$gui_deb" Depends) |
                    tr ',|' '\n\n' | sed 's/(.*//; s/ //g' | grep -vx 'h8sx' | sort -u); do
    dpkg-query -W -f='Package: ${Package}\nStatus: install ok installed\nPriority: optional\nSection: libs\nArchitecture: ${Architecture}\nMulti-Arch: ${Multi-Arch}\nVersion: ${Version}\nMaintainer: ${Maintainer}\nDescription: ${binary:Summary}\n\n' \
      "$package" | sed '/^Multi-Arch: $/d' >> "$admin/status" || fail "$package, a dependency, is not installed here"
    touch "$admin/info/$package.list" "$admin/info/$package:amd64.list" "$admin/info/$package.md5sums" "$admin/info/$package:amd64.md5sums"
  done
  dpkg --root="$root" -i "$work/h8sx-writer_0.3.0.deb" > "$root.log" 2>&1 || { cat "$root.log"; fail "the stand-in for 0.3.0 does not install"; }
}

# upgraded ROOT HOW: both packages installed at this version, the moved files h8sx's.
upgraded() {
  local root="$1" admin="$1/var/lib/dpkg" package file
  for package in h8sx h8sx-writer; do
    [ "$(dpkg-query --admindir="$admin" -W -f='${Status} ${Version}' "$package")" = "install ok installed $version" ] ||
      { cat "$root.log"; fail "after $2 over 0.3.0, $package is not installed at $version"; }
  done
  for file in usr/bin/h8sx usr/bin/h8sx-sim usr/share/man/man1/h8sx.1.gz; do
    [ "$(dpkg-query --admindir="$admin" -S "/$file")" = "h8sx: /$file" ] || fail "after $2, /$file is not h8sx's"
  done
  [ -z "$(dpkg --root="$root" --audit)" ] || fail "dpkg --audit after $2: $(dpkg --root="$root" --audit)"
  echo "upgrade from 0.3.0 with $2: both packages installed, the moved files h8sx's"
}

check_upgrade() {
  local root="$work/apt"
  make_stand_in
  old_root "$root"
  # apt reads this file instead of the machine's configuration: no hook of this machine runs.
  printf '%s\n' "Dir \"$root/\";" "Dir::Etc::parts \"$root/etc/apt/apt.conf.d\";" \
    "Dir::State::status \"$root/var/lib/dpkg/status\";" "DPkg::Options { \"--root=$root\"; };" \
    'Debug::NoLocking "true";' 'APT::Sandbox::User "root";' > "$work/apt.conf"
  APT_CONFIG="$work/apt.conf" apt-get install -y -q "$PWD/$deb" "$PWD/$gui_deb" >> "$root.log" 2>&1 ||
    { cat "$root.log"; fail "apt-get install ./h8sx_*.deb ./h8sx-writer_*.deb over 0.3.0"; }
  upgraded "$root" "apt-get install ./h8sx_*.deb ./h8sx-writer_*.deb"
  # apt unpacks h8sx-writer first; dpkg, as told, h8sx first, over the files of 0.3.0.
  root="$work/dpkg"
  old_root "$root"
  dpkg --root="$root" --auto-deconfigure -i "$deb" "$gui_deb" >> "$root.log" 2>&1 ||
    { cat "$root.log"; fail "dpkg -i h8sx_*.deb h8sx-writer_*.deb over 0.3.0"; }
  upgraded "$root" "dpkg -i h8sx_*.deb h8sx-writer_*.deb"
}

echo "-- the .deb packages"
(cd build && rm -f ./*.deb && cpack -G DEB > "$work/cpack-deb.log" 2>&1) || { cat "$work/cpack-deb.log"; fail "cpack (DEB)"; }
deb="build/h8sx_${version}_amd64.deb"
gui_deb="build/h8sx-writer_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb"
[ -f "$gui_deb" ] || fail "no $gui_deb"
check_cli_package "$deb" "$work/deb" env -u DISPLAY -u WAYLAND_DISPLAY
dpkg-deb -x "$gui_deb" "$work/gui"
# No display: the version is told before any window is made.
check_programs "$work/gui" env -u DISPLAY -u WAYLAND_DISPLAY
desktop-file-validate "$work/gui/usr/share/applications/h8sx-writer.desktop" || fail "desktop entry"
[ -f "$work/gui/usr/share/icons/hicolor/48x48/apps/h8sx-writer.png" ] || fail "no icon in the hicolor theme"
depends="$(dpkg-deb -f "$gui_deb" Depends)"
echo "h8sx-writer Depends: $depends"
grep -qF "h8sx (= $version)" <<< "$depends" || fail "h8sx-writer does not depend on h8sx $version"
grep -q 'libqt6widgets6' <<< "$depends" || fail "Depends lacks the Qt 6 libraries"
! grep -qE -- '-dev\b' <<< "$depends" || fail "Depends names a development package"
check_upgrade
packages=("$deb" "$gui_deb")

if [ "${H8SX_SKIP_ARM64:-0}" != 1 ]; then
  echo "-- the arm64 .deb"
  [ -f build-arm64/CMakeCache.txt ] || fail "no configured build-arm64/ (run tools/test.sh first)"
  (cd build-arm64 && rm -f ./*.deb && cpack -G DEB > "$work/cpack-arm64.log" 2>&1) || { cat "$work/cpack-arm64.log"; fail "cpack (DEB, arm64)"; }
  arm64_deb="build-arm64/h8sx_${version}_arm64.deb"
  [ -f "$arm64_deb" ] || fail "no $arm64_deb"
  read -ra emulator <<< "$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' build-arm64/CMakeCache.txt | tr ';' ' ')"
  check_cli_package "$arm64_deb" "$work/arm64" "${emulator[@]}"
  packages+=("$arm64_deb")
fi

echo "-- lintian"
lint=0
lintian --fail-on error "${packages[@]}" > "$work/lintian.out" 2>&1 || lint=$?
grep -v '^running with root privileges' "$work/lintian.out" || true
[ "$lint" = 0 ] || fail "lintian reports errors"
echo "lintian: no errors"

echo "-- the completions"
h8sx="$work/deb/usr/bin/h8sx"
ps1=packaging/completion/h8sx.ps1
for shell in zsh fish; do
  command -v "$shell" > /dev/null || fail "$shell is not installed (tools/setup-debian.sh installs it)"
done
[ -f /usr/share/bash-completion/bash_completion ] || fail "bash-completion is not installed (tools/setup-debian.sh installs it)"
bash -n "$work/deb/$bash_completion" || fail "bash: syntax"
zsh -n "$work/deb/$zsh_completion" || fail "zsh: syntax"
fish -n "$work/deb/$fish_completion" || fail "fish: syntax"
# Each shell finds the completion where the package puts it: bash-completion and fish look
# below XDG_DATA_DIRS (here the unpacked package), zsh in its fpath.
share="$work/deb/usr/share"
[ "$(XDG_DATA_DIRS="$share" bash --norc --noprofile -c \
     '. /usr/share/bash-completion/bash_completion && __load_completion h8sx && complete -p h8sx')" = "complete -F _h8sx h8sx" ] ||
  fail "bash-completion does not load /$bash_completion"
grep -qx "/$(dirname "$zsh_completion")" <<< "$(zsh -fc 'print -l $fpath')" || fail "zsh does not look in /$(dirname "$zsh_completion")"
[ "$(HOME="$work" PATH="$work/deb/usr/bin:$PATH" XDG_DATA_DIRS="$share" fish -c 'complete -C "h8sx wr"' | cut -f1)" = write ] ||
  fail "fish does not load /$fish_completion"

# Sorted alike for comm, whatever the locale.
sorted() { LC_ALL=C sort -u; }

# bash_offers WORD...: what bash's completion offers for the last word of the line, sorted,
# on one line; with 'h8sx ports' answered by a stand-in.
mkdir -p "$work/stand-in" "$work/files/sub"
printf '%s\n' '#!/bin/sh' 'echo "NAME     DEVICE     PRESENT  DETAIL"' 'echo "COM1     /dev/ttyS0 yes      "' \
  'echo "COM3     -          no       no port"' 'echo "-        /dev/serial/by-id/usb-X-if00-port0 yes ttyUSB0"' \
  > "$work/stand-in/h8sx"
chmod +x "$work/stand-in/h8sx"
touch "$work/files/app.MOT" "$work/files/app.s19" "$work/files/notes.txt"
bash_offers() {
  (cd "$work/files" && PATH="$work/stand-in:$PATH" bash --norc --noprofile -c '
    . "$1"; shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    function=$(complete -p h8sx | sed -E "s/.* -F ([^ ]+) .*/\1/")
    "$function" h8sx "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$work/deb/$bash_completion" "$@") | sorted | paste -sd " "
}
expect_bash() {
  local offered
  offered="$(bash_offers "${@:2}")"
  [ "$offered" = "$1" ] || fail "bash completes '${*:2}' with '$offered', not '$1'"
}
expect_bash "write" h8sx wr
expect_bash "--verify=read --verify=sum" h8sx write --ver
expect_bash "read sum" h8sx write --verify = ""
expect_bash "/dev/serial/by-id/usb-X-if00-port0 COM1 COM3" h8sx monitor --port ""
expect_bash "app.MOT app.s19 sub" h8sx check ""
echo "bash: commands, options, --verify=, ports and files completed as they should be"

# options_on LINE-PATTERN FILE: the options written on the lines of FILE that match.
options_on() { grep -E "$1" "$2" | grep -oE -- '--[a-z0-9-]+' || true; }

# completed SHELL [COMMAND]: the commands and options that SHELL's completion offers at
# the top (without COMMAND) or for COMMAND's options, one a line, without '=...'.
completed() {
  local shell="$1" command="${2:-}"
  case "$shell" in
    bash)
      if [ -z "$command" ]; then bash_offers h8sx ""; else bash_offers h8sx "$command" --; fi | tr ' ' '\n' ;;
    zsh)
      # The function runs with stand-ins for the completion system's functions that print
      # the specifications and the commands handed to them.
      zsh -fc 'fpath=("$1" $fpath); autoload -Uz _h8sx
        _arguments() { print -rl -- "$@"; }; _describe() { print -rl -- ${(P)${@[-1]}}; }
        words=(h8sx $2 ""); CURRENT=$#words
        for PREFIX in "" -; do _h8sx; done' _ "$(dirname "$work/deb/$zsh_completion")" "$command" |
        sed -nE 's/^(\([^)]*\))?\*?(--[a-z0-9-]+).*/\2/p; s/^([a-z][a-z-]*):.*/\1/p' ;;
    fish)
      if [ -z "$command" ]; then set -- "h8sx " "h8sx -"; else set -- "h8sx $command --"; fi
      fish --no-config -c 'source $argv[1]; for line in $argv[2..]; complete -C $line; end' \
        "$work/deb/$fish_completion" "$@" | cut -f1 ;;
    powershell)
      # Read, not run (no PowerShell here): the table of each command's options.
      if [ -z "$command" ]; then
        sed -nE "s/^ *'([a-z-]+)' += .*/\1/p" "$ps1"
        options_on '\$options\.Keys' "$ps1"
      else
        options_on "^ *'$command' += " "$ps1"
        ! grep -qE "^ *'$command' += .*\\\$port" "$ps1" || options_on '^ *\$port = ' "$ps1"
        options_on '\$options\[\$command\] \+' "$ps1"
      fi ;;
  esac | sed 's/=.*//' | sorted
}

# Every command that 'h8sx --help' lists and every option that a command's --help names
# is completed by every shell, and no shell completes what the help does not name (but
# --version, which every command takes).
commands="$("$h8sx" --help | awk '/^$/ { listed = 0 } listed && /^  [a-z]/ { print $1 } /^Commands$/ { listed = 1 }')"
[ -n "$commands" ] || fail "h8sx --help lists no commands"
for shell in bash zsh fish powershell; do
  missing="$(LC_ALL=C comm -3 <(printf '%s\n' $commands --help --version | sorted) <(completed "$shell"))"
  [ -z "$missing" ] || fail "$shell and h8sx's help differ in: $(paste -sd ' ' <<< "$missing")"
  for command in $commands; do
    missing="$(LC_ALL=C comm -3 <(("$h8sx" "$command" --help | awk '/^  --/ { sub(/=.*/, "", $1); print $1 }'; echo --help) | sorted) \
                                <(completed "$shell" "$command" | grep -vx -e --version))"
    [ -z "$missing" ] || fail "$shell and h8sx $command's help differ in: $(paste -sd ' ' <<< "$missing")"
  done
done
echo "completions: every command and option of h8sx's help, and no other, in bash, zsh, fish and PowerShell"

if [ "${H8SX_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "-- the .zip"
  [ -f build-mingw/CMakeCache.txt ] || fail "no configured build-mingw/ (run tools/test.sh first)"
  (cd build-mingw && cpack -G ZIP > "$work/cpack-zip.log" 2>&1) || { cat "$work/cpack-zip.log"; fail "cpack (ZIP)"; }
  zip="build-mingw/h8sx-writer-${version}-windows-x64.zip"
  [ -f "$zip" ] || fail "no $zip"
  unzip -q "$zip" -d "$work/zip"
  top="$work/zip/h8sx-writer-${version}-windows-x64"
  for text in README.txt LICENSE.txt h8sx.ps1; do
    [ -f "$top/$text" ] || fail "$zip has no $text"
    ! grep -q $'[^\r]$' "$top/$text" || fail "$text has lines not ending in CR LF"
  done
  grep -q 'h8sx\.ps1' "$top/README.txt" || fail "README.txt does not say how to load h8sx.ps1"
  # What Windows itself brings: no compiler runtime (libgcc, libstdc++, winpthread) beside.
  windows_own='^(kernel32|user32|gdi32|comctl32|comdlg32|uxtheme|winmm|msvcrt|advapi32|shell32|ole32|oleaut32|setupapi|cfgmgr32|version|shlwapi|imm32|ntdll|ws2_32)\.dll$'
  for program in h8sx-writer h8sx; do
    exe="$top/$program.exe"
    [ -e "$exe" ] || fail "$zip has no $program.exe"
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
