#!/usr/bin/env bash
# Sets up the machine, builds the release program and checks the example
# component with it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release --target packprobe
build/release/packprobe examples/kitdemo1.exe
