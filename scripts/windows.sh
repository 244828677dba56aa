#!/usr/bin/env bash
# Builds PACKPROBE.EXE, the 32-bit Windows program, and its test programs,
# then runs the unit and end-to-end tests under Wine.
#
# Installs what is missing first (mingw-w64 with posix threads, mingw zlib,
# Wine with its 32-bit part), then builds expat with 16-bit characters from
# Debian's source package and GoogleTest from /usr/src/googletest, both once,
# into build/windows-deps/. Every step is skipped when its result is there.
#
# Usage: scripts/windows.sh [--no-test] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
deps=$root/build/windows-deps

run_tests=1
if [ "${1:-}" = "--no-test" ]; then
  run_tests=0
  shift
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"
}
# A mirror in the middle of a sync fails one index now and then; what the
# indexes that did arrive offer is tried all the same.
apt_update() {
  local attempt
  for attempt in 1 2 3; do
    apt_get update -qq && return 0
    [ "$attempt" -lt 3 ] && sleep 15
  done
  echo "-- some package indexes could not be fetched; going on with the others" >&2
}
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
step() {
  echo "== windows: $*"
}

# --- Packages ---------------------------------------------------------------
packages=(cmake ninja-build googletest dpkg-dev g++-mingw-w64-i686-posix libz-mingw-w64-dev
          libcli11-dev nlohmann-json3-dev libtomlplusplus-dev wine)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
installed wine32:i386 || missing+=(wine32:i386)
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  start=$SECONDS
  # wine32 is an i386 package: without it Wine runs no 32-bit program.
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  apt_update
  required=()
  for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || required+=("$p"); done
  [ ${#required[@]} -eq 0 ] || apt_get install -y -qq --no-install-recommends "${required[@]}" >/dev/null
  # Without wine32 the tests run the 64-bit build below.
  if [[ " ${missing[*]} " == *" wine32:i386 "* ]]; then
    apt_get install -y -qq --no-install-recommends wine32:i386 >/dev/null 2>&1 ||
      step "wine32:i386 cannot be installed here"
  fi
  echo "-- installed in $((SECONDS - start)) s"
fi

# The tests run under a Japanese user locale, whose ANSI code page (932)
# holds the non-Latin names they print through pipes.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  step "generating the ja_JP.UTF-8 locale"
  $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# --- Which build the tests run ------------------------------------------------
# PACKPROBE.EXE is a 32-bit program. Some hosts cannot execute 32-bit code at
# all (Wine's 32-bit loader fails with "Exec format error"); there the tests
# run a 64-bit build of the same sources under 64-bit Wine.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  test_preset=windows
  wine_loader=wine
else
  test_preset=windows64
  wine_loader=/usr/lib/wine/wine64
  step "this host cannot run 32-bit code: the tests run the 64-bit build"
  missing=()
  for p in wine64 g++-mingw-w64-x86-64-posix; do installed "$p" || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    step "installing ${missing[*]}"
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi
triples=(i686-w64-mingw32)
[ "$test_preset" = windows64 ] && triples+=(x86_64-w64-mingw32)
toolchain_of() {
  case "$1" in
    i686-*) echo "$root/cmake/toolchain-mingw-i686.cmake" ;;
    x86_64-*) echo "$root/cmake/toolchain-mingw-x86_64.cmake" ;;
  esac
}

# --- expat with 16-bit characters, from Debian's source package --------------
# Sets expat_dir to the unpacked source, fetching it when it is not there.
fetch_expat() {
  local dir
  dir=$(find "$deps/src" -maxdepth 1 -type d -name 'expat-*' 2>/dev/null | head -n 1 || true)
  if [ -z "$dir" ]; then
    step "fetching expat's source package"
    local list=/etc/apt/sources.list.d/packprobe-deb-src.sources
    if [ ! -f "$list" ]; then
      # A deb-src twin of the system's own sources.
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $sudo tee "$list" >/dev/null
      apt_update
    fi
    mkdir -p "$deps/src"
    # Plainly "expat" can pick a security version whose files are gone.
    (cd "$deps/src" && apt-get source -qq expat/bookworm >/dev/null 2>&1)
    dir=$(find "$deps/src" -maxdepth 1 -type d -name 'expat-*' | head -n 1)
    # A Debian patch tests "#if XML_DTD == 1", which the CMake build only
    # satisfies when the macro has a value.
    sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/' "$dir/expat/expat_config.h.cmake"
  fi
  expat_dir=$dir
}

for triple in "${triples[@]}"; do
  prefix=$deps/$triple
  if [ ! -f "$prefix/lib/libexpatw.a" ]; then
    fetch_expat
    step "building expat (16-bit characters) for $triple"
    cmake -S "$expat_dir/expat" -B "$deps/build/expat-$triple" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$(toolchain_of "$triple")" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DEXPAT_CHAR_TYPE=ushort -DEXPAT_SHARED_LIBS=OFF \
      -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF \
      -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF >/dev/null
    cmake --build "$deps/build/expat-$triple" >/dev/null
    cmake --install "$deps/build/expat-$triple" >/dev/null
  fi
  if [ ! -f "$prefix/lib/libgtest.a" ]; then
    step "building GoogleTest for $triple"
    cmake -S /usr/src/googletest -B "$deps/build/gtest-$triple" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$(toolchain_of "$triple")" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$deps/build/gtest-$triple" >/dev/null
    cmake --install "$deps/build/gtest-$triple" >/dev/null
  fi
done

# --- CLI11, nlohmann/json and toml++ -------------------------------------------
# Both are header-only: the cross builds use the host's Debian copies, each
# copied with its CMake package files into build/windows-deps/<triple>, where
# the toolchain looks (and nothing else of the host's /usr/include is seen).
for triple in "${triples[@]}"; do
  prefix=$deps/$triple
  for package in CLI11:CLI nlohmann_json:nlohmann; do
    name=${package%%:*}
    headers=${package#*:}
    if [ ! -f "$prefix/share/cmake/$name/${name}Config.cmake" ] ||
       [ "/usr/share/cmake/$name/${name}Config.cmake" -nt "$prefix/share/cmake/$name/${name}Config.cmake" ]; then
      step "copying $name (header-only) for $triple"
      mkdir -p "$prefix/include" "$prefix/share/cmake"
      rm -rf "${prefix:?}/include/$headers" "${prefix:?}/share/cmake/$name"
      cp -r "/usr/include/$headers" "$prefix/include/"
      cp -r "/usr/share/cmake/$name" "$prefix/share/cmake/"
    fi
  done
  # toml++ is used header-only there (Debian's CMake files describe its
  # shared library): the headers alone, which CMakeLists.txt finds by path.
  if [ ! -f "$prefix/include/toml++/toml.h" ] || [ /usr/include/toml++/toml.h -nt "$prefix/include/toml++/toml.h" ]; then
    step "copying toml++ (headers) for $triple"
    mkdir -p "$prefix/include"
    rm -rf "${prefix:?}/include/toml++"
    cp -r /usr/include/toml++ "$prefix/include/"
  fi
done

# --- PACKPROBE.EXE and the test programs ---------------------------------------
presets=(windows)
[ "$test_preset" = windows64 ] && presets+=(windows64)
for preset in "${presets[@]}"; do
  step "configuring and building the $preset preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# The programs that ship: PE32 console programs importing only system DLLs.
for exe in build/windows/PACKPROBE.EXE build/windows/packprobe-scan.exe; do
  headers=$(i686-w64-mingw32-objdump -p "$exe")
  grep -q 'file format pei-i386' <<<"$headers" || { echo "$exe is not a PE32 (i386) program" >&2; exit 1; }
  grep -q '^Subsystem.*(Windows CUI)' <<<"$headers" || { echo "$exe is not a console program" >&2; exit 1; }
  dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | sort -fu | tr '\n' ' ')
  for dll in $dlls; do
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | version.dll | user32.dll | advapi32.dll | bcrypt.dll | crypt32.dll | wintrust.dll) ;;
      *) echo "$exe imports $dll, which is no system DLL" >&2; exit 1 ;;
    esac
  done
  echo "-- $exe: PE32 (i386) console program, $(stat -c %s "$exe") bytes, imports $dlls"
done

[ "$run_tests" -eq 1 ] || exit 0

# --- Tests under Wine ------------------------------------------------------------
export WINEPREFIX=$root/build/wine-prefix WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "creating the Wine prefix"
  "$wine_loader" wineboot --init >/dev/null 2>&1
  wineserver -w
fi
# Wine's background services inherit the first Wine process's output; let
# them start detached, or every captured run waits for them.
wineserver -p >/dev/null 2>&1 || true  # already running: fine
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
"$wine_loader" cmd.exe /c exit </dev/null >/dev/null 2>&1

step "unit and end-to-end tests of the $test_preset build under Wine"
# On a loaded machine Wine now and then fails to start a test program at all
# (the test fails at once, having run nothing); such a test runs once more.
# A test that fails for its own sake fails again.
ctest --preset "$test_preset" -j2 --repeat until-pass:2 "$@"

# On a console the report is written as UTF-16; Wine gives a program a
# console when it runs on a terminal, which script(1) provides.
step "the report on a console (a terminal made by script)"
log=build/$test_preset/console-test.log
if PACKPROBE_REQUIRE_CONSOLE=1 PACKPROBE_SOURCE_DIR=$root \
   script -qec "$wine_loader build/$test_preset/tests/e2e_test.exe --gtest_brief=1 \
     --gtest_filter=OutputWindowsTest.AConsoleGetsTheNameItself" /dev/null </dev/null >"$log" 2>&1; then
  echo "-- passed"
else
  echo "-- FAILED; its output:"
  cat "$log"
  exit 1
fi
