#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds and tests with. Idempotent: quiet
# and quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libpugixml-dev libhivex-dev libhivex-bin libwin-hivex-perl
  libcli11-dev libssl-dev libcurl4-openssl-dev libcpp-httplib-dev libsqlite3-dev
  hwdata
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
