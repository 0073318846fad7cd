#!/usr/bin/env bash
# Installs, on Debian 12 as root, whatever the machine lacks for one of two
# jobs, and does nothing when everything is there:
#   scripts/deps.sh run    building and running the relay
#   scripts/deps.sh test   that, plus the tests, benchmarks and fuzz targets
#                          (the default)
set -euo pipefail

run=(cmake g++ make libssl-dev)
case "${1:-test}" in
  run)  packages=("${run[@]}") ;;
  test) packages=("${run[@]}" pkg-config openssl libgtest-dev libbenchmark-dev
                  python3 python3-websockets nodejs node-ws clang libclang-rt-14-dev) ;;
  *)    echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

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
