#!/usr/bin/env bash
# Checks what ships, as a user gets it: builds both packages (scripts/package.sh),
# then
#   - renders both man pages with man's warnings on, and checks that each
#     lists an exit code once and names only documents that the .deb holds;
#   - checks the .deb with lintian --pedantic (no tag but those overridden
#     with their reasons), and its programs' hardening;
#   - checks that the README's package lists and dependencies are those of
#     scripts/bootstrap.sh, of what CMake found, and of the .deb, that the
#     .deb's description names every subcommand, and that the README's first
#     examples print what it shows;
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
for source in docs/man/*.1.scd; do
  twice=$(sed -n '/^# EXIT STATUS/,/^# /p' "$source" | grep -x '\*[0-9]*\*' | sort | uniq -d)
  [ -z "$twice" ] || fail "$source lists exit codes more than once: $twice"
done
echo "-- every exit code once"

echo "== packages: lintian --pedantic"
deb=$(ls build/package/packages/packprobe_"$version"-*.deb)
lintian --pedantic --display-info --fail-on error,warning,info,pedantic "$deb" \
  2> >(grep -v 'running with root privileges' >&2) || fail "lintian found the tags above in $deb"
echo "-- $deb: no tag but those overridden"

echo "== packages: the README's package lists and dependencies"
build_packages=$(scripts/bootstrap.sh --build-packages | sort)
readme_packages=$(grep -m 1 '^sudo apt-get install ' README.md | cut -d ' ' -f 4- | tr ' ' '\n' | sort)
[ "$readme_packages" = "$build_packages" ] ||
  fail "the README's apt-get line differs from scripts/bootstrap.sh --build-packages:" \
       "$(diff <(echo "$readme_packages") <(echo "$build_packages") | grep '^[<>]' | tr '\n' ' ')"
# Every library, package configuration and tool that CMake found for the
# package build comes from a package of that list.
while read -r found; do
  owners=$(dpkg -S "$found" 2>/dev/null | head -n 1 | sed 's/: .*//; s/:[a-z0-9]*//g; s/, /\n/g') ||
    fail "no Debian package holds $found, which CMake found"
  grep -qxF -f <(echo "$owners") <<<"$build_packages" ||
    fail "CMake found $found of $owners, which scripts/bootstrap.sh --build-packages does not list"
done < <(sed -n 's/^\([A-Za-z0-9_]*_DIR:PATH\|[A-Za-z0-9_]*_LIBRARY\(_RELEASE\)\?:FILEPATH\|PACKPROBE_SCDOC:FILEPATH\|CMAKE_MAKE_PROGRAM:FILEPATH\|CMAKE_COMMAND:INTERNAL\)=\(\/.*\)$/\1 \3/p' \
           build/package/CMakeCache.txt | grep -v '^[A-Za-z0-9_]*INCLUDE_DIR:' | cut -d ' ' -f 2-)
# The sentence "It depends on exactly ...: `package`, ... (what for)." names
# the .deb's dependencies, no more and no fewer.
readme_depends=$(tr '\n' ' ' <README.md | grep -o 'depends on exactly[^:]*:.*' |
                 sed 's/\. .*//; s/^[^:]*://; s/([^)]*)//g' | grep -o '`[^`]*`' | tr -d '`' | sort)
deb_depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*//; s/ //g' | sort)
[ "$readme_depends" = "$deb_depends" ] ||
  fail "the README's \"depends on exactly\" names $(echo $readme_depends), the .deb depends on $(echo $deb_depends)"
echo "-- the README installs what scripts/bootstrap.sh and CMake need, and names the .deb's dependencies"

# Runs the installed programs found under $1 (bin/ below it) on the example.
check_programs() {
  local prefix=$1 out
  out=$(cd "$work" && "$prefix/bin/packprobe" /nologo "$root/examples/kitdemo1.exe") ||
    fail "$prefix/bin/packprobe exited with $?"
  grep -qx 'The component passed the validation check.' <<<"$out" || fail "packprobe printed: $out"
  [ -f "$prefix/share/man/man1/packprobe.1.gz" ] || fail "no packprobe(1) under $prefix"
  [ -f "$prefix/share/doc/packprobe/README.md" ] || fail "no README under $prefix"
  # Every relative link of the shipped README names a shipped file.
  local link
  while read -r link; do
    [ -f "$prefix/share/doc/packprobe/$link" ] || fail "the README links to $link, not under $prefix"
  done < <(grep -o '](\([^)#]*\)' README.md | sed 's/^](//' | grep -v '^[a-z]*:' | sort -u)
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

echo "== packages: the .deb's programs are hardened"
# readelf's output is read whole (grep >/dev/null, not grep -q, which would
# close the pipe early and make pipefail take readelf's SIGPIPE for a failure).
for program in "$work"/deb/usr/bin/*; do
  name=${program##*/}
  dynamic=$(readelf -dW "$program")
  readelf -hW "$program" | grep 'Type: *DYN' >/dev/null && grep -q '(FLAGS_1).*PIE' <<<"$dynamic" ||
    fail "$name is no position-independent executable"
  readelf -lW "$program" | grep GNU_RELRO >/dev/null || fail "$name has no GNU_RELRO segment"
  grep -q '(FLAGS).*BIND_NOW\|(FLAGS_1).* NOW' <<<"$dynamic" || fail "$name is not linked with -z now"
  readelf --dyn-syms -W "$program" | grep ' __[a-z0-9_]*_chk@' >/dev/null ||
    fail "$name calls no checked (_FORTIFY_SOURCE) function"
done
echo "-- $(ls "$work/deb/usr/bin" | tr '\n' ' '): PIE, RELRO, BIND_NOW, fortified"

echo "== packages: what the .deb and its man pages say"
description=$(dpkg-deb -f "$deb" Description)
subcommands=$("$work/deb/usr/bin/packprobe-scan" --help | sed -n 's/.*packprobe-scan \([a-z][a-z-]*\) [A-Z].*/\1/p')
[ -n "$subcommands" ] || fail "packprobe-scan --help names no subcommand"
for subcommand in $subcommands; do
  grep -qw -- "$subcommand" <<<"$description" || fail "the .deb's description does not name $subcommand"
done
for page in docs/man/*.1.scd; do
  documents=$(grep -o '/usr/share/doc/packprobe/[A-Za-z0-9_./-]*' "$page" | sed 's/[.]$//' | sort -u)
  [ -n "$documents" ] || fail "$page names no installed document"
  for document in $documents; do
    [ -e "$work/deb$document" ] || fail "$page names $document, which the .deb does not hold"
  done
done
echo "-- the description names every subcommand; the man pages name documents the .deb holds"

echo "== packages: the README's first examples print what it shows"
# The README's second fenced block is what scripts/example.sh's packprobe
# prints, its third the scanner's commands and its fourth their output, the
# time taken aside.
readme_block() {
  awk -v n="$1" '/^```/ { block++; next } block == 2 * n - 1' README.md
}
out=$("$work/deb/usr/bin/packprobe" examples/kitdemo1.exe) || true
[ "$out" = "$(readme_block 2)" ] || fail "packprobe examples/kitdemo1.exe printed: $out"
out=$(sed "s|build/release/|$work/deb/usr/bin/|g" <<<"$(readme_block 3)" | bash -o pipefail 2>&1) ||
  fail "the README's scanner commands failed: $out"
[ "$(sed 's/in [0-9.]* s$/in N s/' <<<"$out")" = "$(readme_block 4 | sed 's/in [0-9.]* s$/in N s/')" ] ||
  fail "the README's scanner commands printed: $out"
echo "-- packprobe and packprobe-scan on examples/ as the README shows"

echo "== packages: cmake --install into an empty prefix"
cmake --install build/package --prefix "$work/prefix" >/dev/null
check_programs "$work/prefix"

if [ -x /usr/share/bash-completion/bash_completion ] || [ -f /usr/share/bash-completion/bash_completion ]; then
  echo "== packages: bash completion of packprobe-scan"
  mkdir -p "$work/complete/release"
  touch "$work/complete/release/a.exe" "$work/complete/release/B.EXE" "$work/complete/release/c.Exe" \
        "$work/complete/release/notes.txt"
  # Prints what completing the words (the last one being completed) offers, sorted.
  complete_words() {
    (cd "$work/complete" && bash -c '
      source /usr/share/bash-completion/bash_completion
      source "$0"
      COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
      COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
      _packprobe_scan packprobe-scan "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' "$root/packaging/packprobe-scan.bash-completion" "$@")
  }
  while IFS='|' read -r words expected; do
    # shellcheck disable=SC2086 # the words are split on purpose
    offered=$(complete_words $words "")
    [ "$offered" = "$expected" ] || fail "completion of '$words' offered '$offered', not '$expected'"
  done <<'TABLE'
packprobe-scan --format|csv github jsonl junit text 
packprobe-scan --error-on|duplicate-component setup-no-file-version setup-signature-invalid setup-version-text stub-comments-tail stub-signature-invalid stub-version-text waiver-expired 
packprobe-scan --require-signed|setup stub 
packprobe-scan --color|always auto never 
packprobe-scan merge --format|csv github jsonl junit text 
packprobe-scan diff --format|jsonl markdown text 
TABLE
  # Each subcommand offers its own options only.
  for case in "snapshot --no|--no-config " "diff --co|--config " "merge --no|--no-strict " \
              "snapshot --f|--files-from --follow "; do
    # shellcheck disable=SC2086 # the words are split on purpose
    offered=$(complete_words packprobe-scan ${case%%|*})
    [ "$offered" = "${case#*|}" ] || fail "completion of '${case%%|*}' offered '$offered', not '${case#*|}'"
  done
  offered=$(complete_words packprobe-scan release/)
  [ "$offered" = "release/B.EXE release/a.exe release/c.Exe " ] || fail "components offered: $offered"
  offered=$(complete_words packprobe-scan me)
  [ "$offered" = "merge " ] || fail "subcommands offered: $offered"
  offered=$(complete_words packprobe-scan --error-on stub-version-text,setup-v)
  [ "$offered" = "stub-version-text,setup-version-text " ] || fail "--error-on lists offered: $offered"
  echo "-- options, warning codes, subcommands and *.exe in any case complete"
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
