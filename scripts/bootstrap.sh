#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
# Usage: scripts/bootstrap.sh [extra-package...]
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev zlib1g-dev libisal-dev libexpat1-dev libgtest-dev
          libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libssl-dev zip unzip libarchive-tools jq libxml2-utils
          python3 "$@")

# The scanner's gate tests render its Markdown summary and parse the CI
# examples' YAML with Debian's Python (/usr/bin/python3).
packages+=(python3-markdown python3-yaml cmark cmark-gfm)

# The signature tests sign their files with these, and take osslsigncode's
# verdicts as the reference.
packages+=(openssl osslsigncode)

# The man pages, the .deb and the checks of both.
packages+=(scdoc man-db dpkg-dev lintian bash-completion)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
