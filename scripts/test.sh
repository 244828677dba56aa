#!/usr/bin/env bash
# Sets up the machine, then checks that the layers' includes point down,
# and builds and runs every test: the unit and end-to-end tests in a debug
# build (once with each inflate backend, ISA-L and zlib) and again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the Windows program's
# tests under Wine, then each fuzz target briefly on its corpus, and the
# archive's fuzz target once more on the zlib backend.
#
# FUZZ_SECONDS (default 20) sets how long each fuzz target runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh

echo "== layers: every include points down"
python3 scripts/check_layers.py

for preset in dev dev-zlib asan; do
  echo "== $preset: build and test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done

echo "== the Windows program, cross-built and tested under Wine"
scripts/windows.sh

echo "== the packages (.deb and Windows ZIP), checked as users get them"
scripts/test-packages.sh

echo "== fuzz targets"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
# The archive reader is the one part built two ways; its target runs on both.
cmake --preset fuzz-zlib >/dev/null
cmake --build --preset fuzz-zlib --target zip_file_fuzz
seconds=${FUZZ_SECONDS:-20}
count=0
while IFS=' ' read -r preset source; do
  name=$(basename "$source" .cpp)
  dir=$(dirname "$source")
  binary="$PWD/build/$preset/$dir/$name"
  work=$(mktemp -d)
  mkdir -p "$work/corpus" "$work/artifacts" "$work/cwd"
  [ -d "$dir/${name}_corpus" ] && cp -r "$dir/${name}_corpus/." "$work/corpus/"
  if (cd "$work/cwd" && "$binary" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1); then
    echo "-- $name ($preset): $(grep -E '^stat::number_of_executed_units' "$work/log" | awk '{print $2}') runs in ${seconds}s, no finding"
    rm -rf "$work"
  else
    echo "-- $name ($preset) FAILED; its log ends:"
    tail -n 40 "$work/log"
    exit 1
  fi
  count=$((count + 1))
done < <(git ls-files '*_fuzz.cpp' | sed 's/^/fuzz /'; echo "fuzz-zlib zip/zip_file_fuzz.cpp")
echo "== all tests passed; $count fuzz targets ran without a finding"
