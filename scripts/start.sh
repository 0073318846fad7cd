#!/usr/bin/env bash
# Builds the relay into build/ and starts it in the current directory (where
# it looks for its certificate files), passing on the options given:
#   scripts/start.sh            port 81 (needs root)
#   scripts/start.sh -p 8081
# Only the relay is built, so none of the test tools need be installed; the
# tests are switched off here and on again by scripts/test.sh, so the two
# share build/ in either order.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$root/scripts/deps.sh" run
cmake -S "$root" -B "$root/build" -DWSRELAY_TESTS=OFF >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target wsrelay
exec "$root/build/wsrelay" "$@"
