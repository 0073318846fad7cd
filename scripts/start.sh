#!/usr/bin/env bash
# Builds the relay into build/ and starts it in the current directory (where
# it looks for its certificate files), passing on the options given:
#   scripts/start.sh            port 81 (needs root)
#   scripts/start.sh -p 8081
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target wsrelay
exec "$root/build/wsrelay" "$@"
