#!/bin/sh
# Builds the program files that the version-resource tests read, with the
# mingw-w64 cross toolchains (Debian: binutils-mingw-w64-i686,
# gcc-mingw-w64-i686 and their x86-64 twins). The outputs are committed, so
# the tests need no cross toolchain; run this only to change them.
#
#   sh pe/testdata/build_fixtures.sh
set -eu

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The programs do nothing: an entry point that returns, no runtime library.
cat > "$work/program.c" <<'C'
int program_entry(void) { return 0; }
C

# build <name> <i686|x86_64> [resource script]: writes <name>.exe.
build() {
  name=$1
  arch=$2
  case $arch in
    i686) entry=_program_entry ;;
    x86_64) entry=program_entry ;;
  esac
  objects="$work/program-$arch.o"
  "$arch-w64-mingw32-gcc" -Os -c -o "$objects" "$work/program.c"
  if [ $# -ge 3 ]; then
    printf '%s\n' "$3" > "$work/$name.rc"
    "$arch-w64-mingw32-windres" -i "$work/$name.rc" -o "$work/$name.res.o"
    objects="$objects $work/$name.res.o"
  fi
  # shellcheck disable=SC2086
  "$arch-w64-mingw32-gcc" -s -nostdlib -Wl,--entry="$entry" -Wl,--no-insert-timestamp -o "$here/$name.exe" $objects
}

# version <language> <sublanguage> <table blocks>: a VERSIONINFO resource.
version() {
  cat <<RC
LANGUAGE $1, $2
1 VERSIONINFO
FILEVERSION 3,0,3,0
PRODUCTVERSION 3,0,3,0
FILEOS 0x40004
FILETYPE 0x1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
$3
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
RC
}

# table <key> <VALUE lines>
table() {
  printf '    BLOCK "%s"\n    BEGIN\n%s\n    END\n' "$1" "$2"
}

value() {
  printf '      VALUE "%s", "%s"\n' "$1" "$2"
}

# The usual case, 32- and 64-bit: one U.S.-English table.
build stub32 i686 "$(version 0x09 0x01 "$(table 040904B0 "$(value Comments "VEKStub 3.0.3.0")
$(value FileVersion 3.0.3.0)
$(value ProductName "Test stub")")")"
build stub64 x86_64 "$(version 0x00 0x00 "$(table 040904B0 "$(value CompanyName "Test maker")
$(value Comments "Build 2.10.0.0")
$(value FileVersion 1.0)")")"

# A lower-case table key, as many real files write it.
build lowercase32 i686 "$(version 0x09 0x01 "$(table 040904b0 "$(value Comments 3.1)
$(value FileVersion 7.9.1.0)")")"
build lowercase64 x86_64 "$(version 0x09 0x01 "$(table 040904b0 "$(value FileVersion 10.0.19041.1)")")"

# Other languages only.
build german32 i686 "$(version 0x07 0x01 "$(table 040704B0 "$(value Comments 3.0.3.0)
$(value FileVersion 3.0.3.0)")")"

# No version resource: none at all, or only another resource.
build noversion32 i686
build noversion64 x86_64 'LANGUAGE 0x09, 0x01
7 RCDATA { "payload" }'

# Several string tables in one resource; the English one is not first.
build tables32 i686 "$(version 0x09 0x01 "$(table 040704B0 "$(value Comments 1.1.1.1)")
$(table 000004B0 "$(value Comments 2.2.2.2)")
$(table 040904B0 "$(value Comments "VEKStub 3.0.3.0")
$(value FileVersion 3.0.3.0)")")"

# Several languages of the version resource.
build languages64 x86_64 "$(version 0x07 0x01 "$(table 040904B0 "$(value Comments 4.0.0.0)")")
$(version 0x0c 0x01 "$(table 040904B0 "$(value Comments 5.0.0.0)")")
$(version 0x09 0x01 "$(table 040904B0 "$(value Comments 3.0.3.0)")")"
build languages32 i686 "$(version 0x0c 0x01 "$(table 040904B0 "$(value Comments 5.0.0.0)")")
$(version 0x07 0x01 "$(table 040904B0 "$(value Comments 4.0.0.0)")")"
build neutral32 i686 "$(version 0x09 0x01 "$(table 040904B0 "$(value Comments 3.0.3.0)")")
$(version 0x00 0x00 "$(table 040904B0 "$(value Comments 6.0.0.0)")")"

# Long and empty Comments: 17,000 characters before the version, and an
# empty value followed by another string.
long=$(awk 'BEGIN { for (i = 0; i < 1700; i++) printf "Lorem ips. " }')
build longcomments32 i686 "$(version 0x09 0x01 "$(table 040904B0 "$(value Comments "$long 3.0.3.0")")")"
build emptycomments32 i686 "$(version 0x09 0x01 "$(table 040904B0 "$(value Comments "")
$(value FileVersion 7.9.1.0)")")"
