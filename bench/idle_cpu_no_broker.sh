#!/usr/bin/env bash
# Benchmark (not a test): CPU used by the bus worker alone over N s (default 30) while no
# broker is reachable. Runs in a private network namespace so that a broker on
# this machine cannot answer. Needs root (unshare) and a default build.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
if [ ! -x build/default/bench/bus_idle_bench ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target bus_idle_bench >/dev/null
fi
exec unshare --net -- sh -c 'ip link set lo up && exec "$0" "$1"' build/default/bench/bus_idle_bench "$seconds"
