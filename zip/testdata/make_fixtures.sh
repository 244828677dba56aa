#!/usr/bin/env bash
# Makes the archives in this directory with real tools: Info-ZIP's zip and
# Python's zipfile. The tests only read the results; run this again only
# to change them (needs zip and python3).
#
#   zip/testdata/make_fixtures.sh
set -euo pipefail
cd "$(dirname "$0")"
export TZ=UTC

rm -rf src ./*.zip ./*.exe
mkdir -p src/sub
printf 'Line one of the readme.\nLine two, a little longer than the first.\n' > src/readme.txt
for i in $(seq 1 40); do echo "note $i: the same words again and again"; done > src/sub/notes.txt
# Program-like bytes that compress, and random bytes that zip stores.
python3 - <<'PY'
import random
r = random.Random(42)
ops = [b"\x55\x8b\xec", b"\x83\xec", b"\x8b\x45", b"\xe8", b"\xff\x15", b"\x33\xc0", b"\x5d\xc3"]
out = bytearray(b"MZ\x90\x00")
while len(out) < 20000:
    out += r.choice(ops) + bytes([r.randrange(0, 16)])
open("src/veksetup.exe", "wb").write(out[:20000])
open("src/stored.bin", "wb").write(bytes(r.randrange(256) for _ in range(2048)))
open("stub.bin", "wb").write(b"MZ" + bytes(r.randrange(256) for _ in range(4094)))
PY
touch -d '2020-05-17 10:20:30' src/readme.txt src/veksetup.exe src/stored.bin src/sub src/sub/notes.txt

# Info-ZIP, deflated and stored entries with a directory entry.
(cd src && zip -q -X -r ../info_zip.zip readme.txt veksetup.exe stored.bin sub)
# A self-extracting file: the archive appended to a stub, then `zip -A` to
# make its offsets count the stub's bytes.
cat stub.bin info_zip.zip > info_zip_sfx.exe
zip -q -A info_zip_sfx.exe
# The same without the adjustment: its offsets point into the stub.
cat stub.bin info_zip.zip > info_zip_unadjusted.exe
# Written to a pipe, zip cannot go back to fill in the local header and
# writes a data descriptor after the data instead.
(cd src && zip -q -X - readme.txt | cat > ../info_zip_stream.zip)

# Python's zipfile with an archive comment and fixed times.
python3 - <<'PY'
import zipfile
with zipfile.ZipFile("python.zip", "w") as z:
    z.comment = b"made by zipfile"
    for name, method in [("readme.txt", zipfile.ZIP_DEFLATED), ("veksetup.exe", zipfile.ZIP_DEFLATED),
                         ("stored.bin", zipfile.ZIP_STORED), ("sub/notes.txt", zipfile.ZIP_STORED)]:
        info = zipfile.ZipInfo(name, date_time=(2021, 3, 4, 5, 6, 8))
        info.compress_type = method
        info.external_attr = 0o644 << 16
        z.writestr(info, open("src/" + name, "rb").read())
PY
rm stub.bin
ls -l ./*.zip ./*.exe
