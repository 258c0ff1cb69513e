#!/usr/bin/env bash
# Installs what building and testing h8sx-writer needs on Debian 12, if it is missing.
set -euo pipefail
packages=(cmake ninja-build g++ qt6-base-dev libgtest-dev googletest fonts-noto-cjk
          g++-mingw-w64-x86-64-posix wine64 wine xvfb xdotool imagemagick procps python3
          dpkg-dev lintian desktop-file-utils unzip srecord clang libclang-rt-14-dev
          g++-aarch64-linux-gnu qemu-user-static bash-completion zsh fish)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
