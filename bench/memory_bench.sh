#!/usr/bin/env bash
# Peak memory of packprobe-scan where it could grow without bound:
#   1. a scan of 16 components whose setup programs hold 63 MiB resource
#      sections, at -j 16: every check wants to hold 63 MiB at once, and the
#      shared capture budget bounds what all of them hold together;
#   2. merge of one report of 1,000,000 records: merge streams its inputs, so
#      its memory stays flat in the number of records.
# Needs the release build (cmake --preset release && cmake --build --preset
# release) and GNU time. Writes about 1 GB under a temporary folder, removed
# at the end. Usage: bench/memory_bench.sh [RECORDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
records=${1:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

peak() {  # the maximum resident set of a command, in MiB, whatever its exit code
  /usr/bin/time -f '%M' -o "$work/time" "$@" >/dev/null 2>&1 || true
  awk '{ kb = $1 } END { printf "%.1f", kb / 1024 }' "$work/time"
}

echo "== 16 components with 63 MiB resource sections"
"$build/bench/scan_bench_make" "$work/big" 16 0 63
for jobs in 1 16; do
  echo "scan -j $jobs: peak $(peak "$build/packprobe-scan" -j "$jobs" "$work/big") MiB"
done

echo "== merge of a report of $records records"
# The header, one record and the closing record of a real scan are the
# templates: the generated report is of the schema this build writes.
"$build/bench/scan_bench_make" "$work/small" 1 0
"$build/packprobe-scan" --format jsonl -o "$work/one.jsonl" "$work/small"
python3 - "$work/one.jsonl" "$work/big.jsonl" "$records" <<'PY'
import hashlib, json, sys
lines = open(sys.argv[1]).read().splitlines()
header, record, closing = (json.loads(line) for line in lines)
n = int(sys.argv[3])
folder = header["options"]["paths"][0]
keys = sorted("k%08d.exe" % i for i in range(n))
with open(sys.argv[2], "w") as out:
    out.write(json.dumps(header, separators=(",", ":")) + "\n")
    for key in keys:
        record.update(path=folder + "/" + key, relative_path=key, file=key, name="Kit " + key)
        out.write(json.dumps(record, separators=(",", ":")) + "\n")
    digest = hashlib.sha256()
    for key in keys:
        digest.update(key.encode() + b"\0")
    closing["total"] = n
    closing["counts"] = {name: (n if name == record["outcome"] else 0) for name in closing["counts"]}
    closing["found"] = {"count": n, "sha256": digest.hexdigest()}
    out.write(json.dumps(closing, separators=(",", ":")) + "\n")
PY
echo "report: $(du -m "$work/big.jsonl" | cut -f1) MB"
"$build/packprobe-scan" merge -q -o /dev/null "$work/big.jsonl" || { echo "the merge failed" >&2; exit 1; }
echo "merge: peak $(peak "$build/packprobe-scan" merge -q -o /dev/null "$work/big.jsonl") MiB"
