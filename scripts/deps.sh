#!/usr/bin/env bash
# Installs, on Debian 12 as root, whatever the build and the tests need and
# the machine lacks. Does nothing when everything is there.
set -euo pipefail

packages=(cmake g++ make pkg-config libssl-dev openssl libgtest-dev libbenchmark-dev
          python3 python3-websockets clang libclang-rt-14-dev)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
