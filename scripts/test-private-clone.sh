#!/usr/bin/env bash
# Clones the repository into a folder that only its owner may enter (mode
# 0700, as a home folder or a `mktemp -d` folder is) and runs the
# end-to-end robustness tests there, so that no test relies on the
# checkout's folders being open to other users.
#
# Usage: scripts/test-private-clone.sh [ctest regex]   (default: Robustness)
set -euo pipefail
cd "$(dirname "$0")/.."
pattern=${1:-Robustness}
private=$(mktemp -d)
trap 'rm -rf "$private"' EXIT
chmod 0700 "$private"
git clone --quiet --no-hardlinks . "$private/repo"
cd "$private/repo"
cmake --preset dev >/dev/null
cmake --build --preset dev --target e2e_test
ctest --preset dev -R "$pattern" -j2
