#!/usr/bin/env bash
# Sets up the machine, builds both release programs (packprobe and
# packprobe-scan, which the README's first examples run) and checks the
# example component with packprobe.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release --target packprobe packprobe-scan
build/release/packprobe examples/kitdemo1.exe
