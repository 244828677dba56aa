#!/usr/bin/env bash
# Times packprobe-scan against one packprobe process per component: a shell
# loop, and xargs -P with as many processes as cores. See bench/README.md.
#
# Usage: bench/scan_bench.sh [BUILD_DIR]   (default: build/release)
# Environment: JOBS (default: the number of cores), SMALL (10000),
# LARGE (20), LARGE_MB (100).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
jobs=${JOBS:-$(nproc)}
small=${SMALL:-10000}
large=${LARGE:-20}
large_mb=${LARGE_MB:-100}
packprobe=$PWD/$build/packprobe
scan=$PWD/$build/packprobe-scan
make=$PWD/$build/bench/scan_bench_make
for program in "$packprobe" "$scan" "$make"; do
  [ -x "$program" ] || { echo "missing $program: cmake --build --preset release" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

echo "== writing $small small components and $large with $large_mb MB setup programs"
"$make" "$work/small" "$small" 0
"$make" "$work/large" "$large" "$large_mb"
files=("$work/small"/*.exe)
printf '%s\n' "${files[@]:0:$((small / 10))}" >"$work/small-tenth.txt"

# measure LABEL COMMAND...: wall seconds, CPU seconds (user + system) and
# peak resident memory (kB) of the command and the children it waited for.
# The machine may be shared: CPU time is the steadier figure.
measure() {
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
    echo "$label failed:" >&2
    cat "$work/stderr" >&2
    exit 1
  }
  read -r seconds user system kb <"$work/time"
  cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
  printf '%-34s %8.2f s wall %8.2f s CPU %8d kB\n' "$label" "$seconds" "$cpu" "$kb"
  eval "wall_${label//[^a-z]/_}=$seconds cpu_${label//[^a-z]/_}=$cpu"
}

loop() { for f in "$1"/*.exe; do "$packprobe" /nologo "$f" >/dev/null || return 1; done; }
export -f loop
export packprobe

for set in small large; do
  dir=$work/$set
  count=$(find "$dir" -name '*.exe' | wc -l)
  echo
  echo "== $count components ($set), $jobs jobs"
  measure "scan" "$scan" -j "$jobs" --format jsonl -o /dev/null "$dir"
  measure "xargs" bash -c "printf '%s\0' '$dir'/*.exe | xargs -0 -n 1 -P $jobs '$packprobe' /nologo"
  measure "loop" bash -c "loop '$dir'"
  awk -v s="$wall_scan" -v x="$wall_xargs" -v l="$wall_loop" -v j="$jobs" \
    -v cs="$cpu_scan" -v cx="$cpu_xargs" -v cl="$cpu_loop" 'BEGIN {
      printf "-- wall: scan %.1fx as fast as xargs -P %d, %.1fx as fast as the loop\n", x / s, j, l / s
      printf "-- CPU:  scan uses %.1fx less than xargs -P %d, %.1fx less than the loop\n", cx / cs, j, cl / cs
    }'
done

echo
echo "== peak memory of the scan against the number of components"
measure "scan, a tenth of the small ones" "$scan" -j "$jobs" --format jsonl -o /dev/null \
  --files-from "$work/small-tenth.txt"
measure "scan, all small ones" "$scan" -j "$jobs" --format jsonl -o /dev/null "$work/small"
measure "scan, all small ones, text" "$scan" -j "$jobs" -o /dev/null "$work/small"
