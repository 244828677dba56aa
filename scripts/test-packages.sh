#!/usr/bin/env bash
# Checks what ships, as a user gets it: builds both packages (scripts/package.sh),
# then
#   - renders both man pages with man's warnings on;
#   - checks the .deb with lintian (no errors);
#   - unpacks it into an empty directory and runs the programs from there on
#     examples/kitdemo1.exe; does the same after `cmake --install` into an
#     empty prefix;
#   - checks with this project's own version-resource reader that the
#     Windows programs in the ZIP carry the project version.
# packprobe-scan is required once the tree holds it (scan/), checked
# wherever it is found before that.
#
# Usage: scripts/test-packages.sh [--deb-only]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/package.sh "$@"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
version4=$version
while [ "$(tr -cd . <<<"$version4" | wc -c)" -lt 3 ]; do version4=$version4.0; done
scan_expected=0
[ -d scan ] && scan_expected=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

echo "== packages: the man pages render without warnings"
pages=(build/package/man/*.1)
[ "${#pages[@]}" -ge $((1 + scan_expected)) ] || fail "man pages missing: ${pages[*]}"
for page in "${pages[@]}"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
echo "-- ${pages[*]}"

echo "== packages: lintian"
deb=$(ls build/package/packages/packprobe_"$version"-*.deb)
lintian --fail-on error "$deb" 2> >(grep -v 'running with root privileges' >&2)
echo "-- $deb: no errors"

# Runs the installed programs found under $1 (bin/ below it) on the example.
check_programs() {
  local prefix=$1 out
  out=$(cd "$work" && "$prefix/bin/packprobe" /nologo "$root/examples/kitdemo1.exe") ||
    fail "$prefix/bin/packprobe exited with $?"
  grep -qx 'The component passed the validation check.' <<<"$out" || fail "packprobe printed: $out"
  [ -f "$prefix/share/man/man1/packprobe.1.gz" ] || fail "no packprobe(1) under $prefix"
  [ -f "$prefix/share/doc/packprobe/README.md" ] || fail "no README under $prefix"
  if [ -x "$prefix/bin/packprobe-scan" ]; then
    out=$(cd "$work" && "$prefix/bin/packprobe-scan" --version) || fail "packprobe-scan --version"
    grep -q "$version" <<<"$out" || fail "packprobe-scan --version printed: $out"
    (cd "$work" && "$prefix/bin/packprobe-scan" -q "$root/examples/kitdemo1.exe" >/dev/null) ||
      fail "packprobe-scan exited with $? on the example"
    [ -f "$prefix/share/man/man1/packprobe-scan.1.gz" ] || fail "no packprobe-scan(1) under $prefix"
    [ -f "$prefix/share/bash-completion/completions/packprobe-scan" ] ||
      fail "no bash completion under $prefix"
    echo "-- packprobe and packprobe-scan run from $prefix"
  else
    [ "$scan_expected" -eq 0 ] || fail "no packprobe-scan under $prefix"
    echo "-- packprobe runs from $prefix (no packprobe-scan in this tree yet)"
  fi
}

echo "== packages: the .deb unpacked into an empty directory"
mkdir "$work/deb"
dpkg -x "$deb" "$work/deb"
check_programs "$work/deb/usr"

echo "== packages: cmake --install into an empty prefix"
cmake --install build/package --prefix "$work/prefix" >/dev/null
check_programs "$work/prefix"

if [ -x /usr/share/bash-completion/bash_completion ] || [ -f /usr/share/bash-completion/bash_completion ]; then
  echo "== packages: bash completion of packprobe-scan"
  formats=$(bash -c '
    source /usr/share/bash-completion/bash_completion
    source packaging/packprobe-scan.bash-completion
    COMP_WORDS=(packprobe-scan --format ""); COMP_CWORD=2
    COMP_LINE="packprobe-scan --format "; COMP_POINT=${#COMP_LINE}
    _packprobe_scan packprobe-scan "" --format
    echo "${COMPREPLY[*]}"')
  [ "$formats" = "text jsonl csv junit" ] || fail "completion of --format offered: $formats"
  echo "-- --format completes to: $formats"
fi

if [ "${1:-}" = "--deb-only" ]; then
  exit 0
fi

echo "== packages: the Windows ZIP carries the project version"
cmake --build --preset dev --target version_text >/dev/null
version_text=build/dev/tests/version_text
zip=$(ls build/windows/packages/packprobe-"$version"-win32.zip)
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip"
folder=$work/zip/packprobe-$version-win32
for file in README.md LICENSE.txt packprobe.txt; do
  [ -f "$folder/$file" ] || fail "$zip holds no $file"
done
programs=(PACKPROBE.EXE)
if [ -f "$folder/packprobe-scan.exe" ] || [ "$scan_expected" -eq 1 ]; then
  programs+=(packprobe-scan.exe)
  [ -f "$folder/packprobe-scan.txt" ] || fail "$zip holds no packprobe-scan.txt"
fi
for program in "${programs[@]}"; do
  [ -f "$folder/$program" ] || fail "$zip holds no $program"
  product=$("$version_text" "$folder/$program" ProductVersion) || fail "$program: no ProductVersion"
  file=$("$version_text" "$folder/$program" FileVersion) || fail "$program: no FileVersion"
  name=$("$version_text" "$folder/$program" ProductName) || fail "$program: no ProductName"
  [ "$product" = "$version" ] && [ "$file" = "$version4" ] && [ "$name" = PackProbe ] ||
    fail "$program: ProductVersion '$product', FileVersion '$file', ProductName '$name'"
  echo "-- $program: ProductName $name, ProductVersion $product, FileVersion $file"
done
