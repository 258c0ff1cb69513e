#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux build, the
# same under AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows build under
# wine; then makes the release packages and checks them (tools/check-packages.sh). Set
# H8SX_SKIP_ASAN=1, H8SX_SKIP_WINDOWS=1 or H8SX_SKIP_PACKAGES=1 to leave a part out.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh
jobs="${H8SX_JOBS:-$(nproc)}"

echo "== Linux"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

if [ "${H8SX_SKIP_ASAN:-0}" != 1 ]; then
  echo "== Linux, with AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan -j "$jobs"
fi

if [ "${H8SX_SKIP_WINDOWS:-0}" != 1 ] && [ -f CMakePresets.json ] && grep -q '"mingw"' CMakePresets.json; then
  echo "== Windows (mingw-w64), tests under wine"
  cmake --preset mingw -DH8SX_SIM_EXECUTABLE="$PWD/build/bin/h8sx-sim" >/dev/null
  cmake --build --preset mingw -j "$jobs"
  ctest --preset mingw
fi

if [ "${H8SX_SKIP_PACKAGES:-0}" != 1 ]; then
  echo "== Packages: the .deb and the .zip, as a user meets them"
  tools/check-packages.sh ${H8SX_DIST:+"$H8SX_DIST"}
fi
