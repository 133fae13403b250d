#!/usr/bin/env bash
# Daemon benchmarks: the real obd-gateway on the end-to-end rig (private
# broker, simulated vehicle, stand-in GPIO chips) in private namespaces, then
# command round trips over a private broker and the bus worker alone without
# a broker. Prints every figure of one run with its target and whether it
# holds; takes about ten minutes (--quick: about two).
#   bench/run.sh [--quick]
# Needs root (network and mount namespaces), like the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
ninja -C build/default -j2 obdgw-e2e-bench command_round_trip_bench bus_idle_bench >/dev/null

trips=1000 idle=60
if [ "${1:-}" = --quick ]; then
    trips=200 idle=10
fi
echo "== obd-gateway daemon benchmarks ($(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
tests/netns_run.sh build/default/tests/e2e/obdgw-e2e-bench "$@"
tests/netns_run.sh build/default/bench/command_round_trip_bench "$trips"
bench/idle_cpu_no_broker.sh "$idle" 2>&1 || true
