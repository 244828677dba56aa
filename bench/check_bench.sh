#!/usr/bin/env bash
# Times checks that write nothing against a build of the tree before that
# change, built the same way (BASE). See bench/README.md.
#
# Usage: bench/check_bench.sh BUILD_DIR BASE_BUILD_DIR
#   e.g. bench/check_bench.sh build/release ../base/build/release
# Environment: ROUNDS (default 5), SMALL (400), SMALL_MB (1), LARGE_MB (300).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
base=$2
rounds=${ROUNDS:-5}
small=${SMALL:-400}
small_mb=${SMALL_MB:-1}
large_mb=${LARGE_MB:-300}
make=$build/bench/scan_bench_make
for program in "$build/packprobe" "$build/packprobe-scan" "$base/packprobe" \
  "$base/packprobe-scan" "$make"; do
  [ -x "$program" ] || { echo "missing $program" >&2; exit 1; }
done

# The work directory, and TMPDIR with it, lies on the disk of the build
# directory, as a CI runner's TMPDIR does (not on a tmpfs).
mkdir -p "$build"
work=$(mktemp -d -p "$PWD/$build" check-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

echo "== writing $small components with $small_mb MB setup programs, one with $large_mb MB"
"$make" "$work/small" "$small" "$small_mb"
"$make" "$work/large" 1 "$large_mb"
sync

# run LABEL COMMAND...: appends "wall cpu peak_kB" of the command to $work/LABEL.
run() {
  local label=$1
  shift
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
    echo "$label failed:" >&2
    cat "$work/stderr" >&2
    exit 1
  }
  awk '{ printf "%s %.2f %d\n", $1, $2 + $3, $4 }' "$work/time" >>"$work/$label"
}

# median LABEL COLUMN
median() { sort -n -k"$2" "$work/$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'; }

# Each round runs both builds back to back, in alternating order, so that
# load on the machine hits both alike.
for round in $(seq "$rounds"); do
  order=(new base)
  [ $((round % 2)) -eq 0 ] && order=(base new)
  for who in "${order[@]}"; do
    dir=$build
    [ "$who" = base ] && dir=$base
    run "scan-$who" "$dir/packprobe-scan" -j 1 --format jsonl -o /dev/null "$work/small"
    run "check-$who" "$dir/packprobe" /nologo "$work/large/c00000.exe"
  done
done
[ -z "$(ls -A "$TMPDIR")" ] || { echo "TMPDIR not empty" >&2; exit 1; }

printf '\n%-44s %9s %9s %12s\n' "median of $rounds rounds" "wall s" "CPU s" "peak kB"
for label in scan-base scan-new check-base check-new; do
  printf '%-44s %9s %9s %12s\n' "$label" "$(median "$label" 1)" "$(median "$label" 2)" \
    "$(median "$label" 3)"
done
awk -v sn="$(median scan-new 1)" -v sb="$(median scan-base 1)" \
  -v cn="$(median check-new 1)" -v cb="$(median check-base 1)" 'BEGIN {
    printf "-- scan -j 1 of %s: %.2fx the time of the base\n", "'"$small"' components", sn / sb
    printf "-- check of the %s MB setup program: %.2fx the time of the base\n", "'"$large_mb"'", cn / cb
  }'
