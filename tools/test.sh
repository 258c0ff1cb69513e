#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux build, the
# same under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets, the
# Windows build under wine, and the arm64 build of h8sx and h8sx-sim, whose h8sx writes to
# the virtual board under qemu-user; then makes the release packages and checks them
# (tools/check-packages.sh). Set H8SX_SKIP_ASAN=1, H8SX_SKIP_FUZZ=1, H8SX_SKIP_WINDOWS=1,
# H8SX_SKIP_ARM64=1 or H8SX_SKIP_PACKAGES=1 to leave a part out.
#   --quick       the Linux build and the tests that run in-process only (no h8sx-sim
#                 process, no sanitizers, no fuzzing, no Windows, no packages): the
#                 edit-test loop
#   --no-install  do not look for missing packages
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0 install=1
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --no-install) install=0 ;;
    *) echo "usage: tools/test.sh [--quick] [--no-install]" >&2; exit 2 ;;
  esac
done
[ "$install" = 1 ] && tools/setup-debian.sh
jobs="${H8SX_JOBS:-$(nproc)}"

echo "== Linux"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
if [ "$quick" = 1 ]; then
  ctest --preset default -j "$jobs" --label-exclude board-process
  exit 0
fi
ctest --preset default -j "$jobs"

if [ "${H8SX_SKIP_ASAN:-0}" != 1 ]; then
  echo "== Linux, with AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ctest --preset asan -j "$jobs"
fi

if [ "${H8SX_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== Fuzz targets (libFuzzer, clang), 30 s each"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  tools/fuzz.sh 30
fi

if [ "${H8SX_SKIP_WINDOWS:-0}" != 1 ] && [ -f CMakePresets.json ] && grep -q '"mingw"' CMakePresets.json; then
  echo "== Windows (mingw-w64), tests under wine"
  cmake --preset mingw -DH8SX_SIM_EXECUTABLE="$PWD/build/bin/h8sx-sim" >/dev/null
  cmake --build --preset mingw -j "$jobs"
  # One run: a test that fails here has failed. (The two ways wine itself ended a program
  # at its start are mended in cmake/wine-run.sh.)
  ctest --preset mingw
fi

if [ "${H8SX_SKIP_ARM64:-0}" != 1 ]; then
  echo "== arm64 (aarch64-linux-gnu): h8sx and h8sx-sim; h8sx writes under qemu-user"
  cmake --preset arm64 >/dev/null
  cmake --build --preset arm64 -j "$jobs"
  read -ra emulator <<< "$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' build-arm64/CMakeCache.txt | tr ';' ' ')"
  tests/arm64/qemu-write-test.sh build/bin/h8sx-sim build/bin/h8sx build-arm64/qemu-write-test -- \
    "${emulator[@]}" build-arm64/bin/h8sx
fi

if [ "${H8SX_SKIP_PACKAGES:-0}" != 1 ]; then
  echo "== Packages: the .deb packages and the .zip, as a user meets them"
  tools/check-packages.sh ${H8SX_DIST:+"$H8SX_DIST"}
fi
