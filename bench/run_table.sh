#!/usr/bin/env bash
# Produces the throughput and latency table of bench/RESULTS.md: starts the
# relay in a scratch directory with a self-signed certificate made for the
# run (deleted afterwards), drives it with wsrelay-load, and runs the same
# load over direct loopback connections beside each relay row.
#
#   bench/run_table.sh [build dir] [packet length for the throughput rows]
#
# Each line: mode, kinds, senders x receivers, message bytes, paced rate,
# offered msgs/s and MB/s (per sender), delivered msgs/s and MB/s (summed
# over receivers), latency p50 p99 p99.9 max in us, corrupt lost reordered,
# and the CPUs the relay kept busy. Exits non-zero when any run lost,
# corrupted or reordered a record.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
big_l="${2:-1048576}"
seconds="${SECONDS_PER_RUN:-1.5}"
relay_bin="$build/wsrelay"
load_bin="$build/bench/wsrelay-load"
port=$((20000 + RANDOM % 20000))

scratch="$(mktemp -d)"
relay_pid=""
cleanup() {
  if [ -n "$relay_pid" ]; then kill "$relay_pid" 2>/dev/null; wait "$relay_pid" 2>/dev/null; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -subj /CN=localhost -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null || exit 1
cat "$scratch/cert.pem" "$scratch/key.pem" > "$scratch/wsrelay-cert.pem"

start_relay() {  # packet length
  if [ -n "$relay_pid" ]; then kill "$relay_pid"; wait "$relay_pid" 2>/dev/null; fi
  port=$((port + 1))
  (cd "$scratch" && exec "$relay_bin" -p "$port" -L "$1" > relay.log 2>&1) &
  relay_pid=$!
  sleep 0.5
  echo "# relay -p $port -L $1 (pid $relay_pid)"
}

failed=0
run() {  # load arguments
  echo "# wsrelay-load $*"
  timeout 60 "$load_bin" --port "$port" --relay-pid "$relay_pid" --seconds "$seconds" --direct "$@" ||
    failed=1
}

start_relay "$big_l"
for kind in raw tls ws wss; do
  for size in 64 1024 4000; do
    for receivers in 1 8 31; do run --kind "$kind" --size "$size" -R "$receivers"; done
  done
done
run --kind mixed --size 1024 -R 8
run --kind mixed --sender-kind ws -S 4 --size 1024 -R 8

start_relay 4096
for receivers in 1 8 31; do run --kind raw --size 4000 -R "$receivers"; done
run --kind ws --size 4000 -R 8
for kind in raw ws; do run --kind "$kind" --size 64 -R 8 --rate 1000 --seconds 3; done
exit $failed
