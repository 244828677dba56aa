#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Waits up to five minutes for another package installation (unattended
# upgrades, a colleague's script) to release the package manager's locks.
#
# Usage: scripts/bootstrap.sh [extra-package...]
#        scripts/bootstrap.sh --build-packages   lists the packages that building and
#                                                installing the programs needs, one a line
set -euo pipefail

# What building and installing the programs and their man pages needs; the
# README's "From source" installs the same list (scripts/test-packages.sh
# compares them, and these with what CMake finds).
build_packages=(cmake ninja-build g++ zlib1g-dev libisal-dev libexpat1-dev libssl-dev
                libtomlplusplus-dev libcli11-dev nlohmann-json3-dev scdoc)
if [ "${1:-}" = "--build-packages" ]; then
  printf '%s\n' "${build_packages[@]}"
  exit 0
fi

# The tests, the fuzz targets (clang) and the checks of the packages.
packages=("${build_packages[@]}" clang libclang-rt-14-dev libgtest-dev zip unzip libarchive-tools jq
          libxml2-utils python3 "$@")

# The scanner's gate tests render its Markdown summary and parse the CI
# examples' YAML with Debian's Python (/usr/bin/python3).
packages+=(python3-markdown python3-yaml cmark cmark-gfm)

# The signature tests sign their files with these, and take osslsigncode's
# verdicts as the reference.
packages+=(openssl osslsigncode)

# The .deb and its checks.
packages+=(man-db dpkg-dev lintian bash-completion)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
lock_seconds=300

# Runs apt-get with the arguments, again every five seconds while another
# package installation holds a lock that it needs, for at most lock_seconds.
# apt-get's own DPkg::Lock::Timeout would cover dpkg's lock but not the one
# of the package lists that `update` takes.
apt_get() {
  local deadline=$((SECONDS + lock_seconds)) said=0 status
  local err
  err=$(mktemp)
  while :; do
    status=0
    $sudo env DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get "$@" 2>"$err" || status=$?
    if [ "$status" -eq 0 ] || ! grep -q '^E: Could not get lock' "$err" || [ "$SECONDS" -ge "$deadline" ]; then
      break
    fi
    if [ "$said" -eq 0 ]; then
      echo "Another package installation holds a lock; waiting for it up to $((lock_seconds / 60)) minutes:"
      grep '^E: Could not get lock' "$err" | head -n 1
      said=1
    fi
    sleep 5
  done
  cat "$err" >&2
  rm -f "$err"
  return "$status"
}

echo "Installing: ${missing[*]}"
# A mirror in the middle of a sync fails one index now and then; the install
# below says so when a package it needs is really out of reach.
apt_get update -qq || echo "Some package indexes could not be fetched; installing from the others" >&2
apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
