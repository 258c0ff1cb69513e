#!/usr/bin/env bash
# Makes a release from this checkout in one command: installs what is missing, builds and
# tests everything (tools/test.sh, which also makes and checks the packages), and leaves
#   dist/h8sx_<version>_amd64.deb                    (the command line: Debian 12 and later, Ubuntu)
#   dist/h8sx-writer_<version>_amd64.deb             (the windows, on top of h8sx)
#   dist/h8sx_<version>_arm64.deb                    (the command line for arm64)
#   dist/h8sx-writer-<version>-windows-x64.zip       (Windows, nothing to install)
# The version is the one in CMakeLists.txt's project(); packaging/changelog.in wants an
# entry for it. Refuses uncommitted changes unless H8SX_RELEASE_DIRTY=1.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${H8SX_RELEASE_DIRTY:-0}" != 1 ] && [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  echo "release.sh: the checkout has uncommitted changes (set H8SX_RELEASE_DIRTY=1 to go on):" >&2
  git status --short >&2
  exit 1
fi
if [ "${H8SX_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "release.sh: a release holds the Windows package too; H8SX_SKIP_WINDOWS=1 leaves it out" >&2
fi
if [ "${H8SX_SKIP_ARM64:-0}" = 1 ]; then
  echo "release.sh: a release holds the arm64 package too; H8SX_SKIP_ARM64=1 leaves it out" >&2
fi
rm -rf dist
H8SX_DIST="$PWD/dist" tools/test.sh
echo "== Release"
ls -l dist
