#!/usr/bin/env bash
# Clones the repository into a folder that only its owner may enter (mode
# 0700, as a home folder or a `mktemp -d` folder is) and runs there every
# test that changes its identity, its capabilities or permission bits: the
# whole end-to-end suite (label e2e) and the archive reader's unit tests
# (label zip, read-only files), so that no test relies on the checkout's
# folders being open to other users.
#
# Usage: scripts/test-private-clone.sh [ctest arguments...]
#        (default: -L '^(e2e|zip)$')
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  set -- -L '^(e2e|zip)$'
fi
private=$(mktemp -d)
trap 'rm -rf "$private"' EXIT
chmod 0700 "$private"
git clone --quiet --no-hardlinks . "$private/repo"
cd "$private/repo"
cmake --preset dev >/dev/null
cmake --build --preset dev --target e2e_test zip_test
ctest --preset dev -j2 "$@"
