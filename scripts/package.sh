#!/usr/bin/env bash
# Builds the packages of the project version:
#   build/package/packages/packprobe_<version>-1_<arch>.deb   for Debian 12
#   build/windows/packages/packprobe-<version>-win32.zip      for Windows
# The .deb comes from the `package` preset (release build, no tests); the
# ZIP from the Windows build that scripts/windows.sh makes.
#
# Usage: scripts/package.sh [--deb-only]
set -euo pipefail
cd "$(dirname "$0")/.."

windows=1
if [ "${1:-}" = "--deb-only" ]; then
  windows=0
fi

scripts/bootstrap.sh
echo "== package: the .deb"
cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB >/dev/null)
ls build/package/packages/*.deb

[ "$windows" -eq 1 ] || exit 0
echo "== package: the Windows ZIP"
scripts/windows.sh --no-test
(cd build/windows && cpack -G ZIP >/dev/null)
ls build/windows/packages/*.zip
