#!/usr/bin/env bash
# Times packprobe-scan with --hash against the same scan without it plus
# OpenSSL's SHA-256 of the same files at the same -j, on components with
# large setup programs. See bench/README.md.
#
# Usage: bench/hash_bench.sh [BUILD_DIR]   (default: build/release)
# Environment: JOBS (default: the number of cores), LARGE (20), LARGE_MB
# (100), ROUNDS (3; the runs alternate, and the median of each is kept).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
jobs=${JOBS:-$(nproc)}
large=${LARGE:-20}
large_mb=${LARGE_MB:-100}
rounds=${ROUNDS:-3}
scan=$PWD/$build/packprobe-scan
make=$PWD/$build/bench/scan_bench_make
for program in "$scan" "$make"; do
  [ -x "$program" ] || { echo "missing $program: cmake --build --preset release" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

echo "== writing $large components with $large_mb MB setup programs"
"$make" "$work/large" "$large" "$large_mb"
du -sh "$work/large" | sed 's/^/-- /'

# run LABEL ARGS...: appends "wall cpu kb" of one scan to $work/LABEL.
run() {
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$scan" -j "$jobs" --format jsonl -o /dev/null "$@" \
    "$work/large" >/dev/null
  read -r seconds user system kb <"$work/time"
  awk -v w="$seconds" -v u="$user" -v s="$system" -v k="$kb" \
    'BEGIN { printf "%.2f %.2f %d\n", w, u + s, k }' >>"$work/$label"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The SHA-256 of every component by OpenSSL's own command, JOBS at a time.
run_sha() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" sh -c \
    'find "$1" -name "*.exe" -print0 | xargs -0 -P "$2" -n 1 openssl dgst -sha256 >/dev/null' \
    sh "$work/large" "$jobs"
  read -r seconds user system kb <"$work/time"
  awk -v w="$seconds" -v u="$user" -v s="$system" -v k="$kb" \
    'BEGIN { printf "%.2f %.2f %d\n", w, u + s, k }' >>"$work/sha"
}

# One warm-up run puts the files in the cache for both contenders alike.
"$scan" -j "$jobs" --format jsonl -o /dev/null "$work/large"
for ((i = 0; i < rounds; i++)); do
  run plain
  run hash --hash
  run_sha
done
for label in plain hash sha; do
  wall=$(cut -d' ' -f1 "$work/$label" | median)
  cpu=$(cut -d' ' -f2 "$work/$label" | median)
  kb=$(cut -d' ' -f3 "$work/$label" | median)
  printf '%-6s %8.2f s wall %8.2f s CPU %8d kB  (median of %d)\n' "$label" "$wall" "$cpu" "$kb" "$rounds"
  eval "wall_$label=$wall cpu_$label=$cpu"
done
awk -v a="$wall_hash" -v b="$wall_plain" -v c="$cpu_hash" -v d="$cpu_plain" -v e="$wall_sha" -v f="$cpu_sha" \
  'BEGIN { printf "--hash costs %.2fx the wall time and %.2fx the CPU time of the scan without it\n", a / b, c / d;
           printf "--hash / (plain + openssl dgst): %.2fx wall, %.2fx CPU (goal: at most 1.05x)\n", a / (b + e), c / (d + f) }'
