#!/usr/bin/env bash
# Daemon benchmarks: the real obd-gateway on the end-to-end rig (private
# broker, simulated vehicle, stand-in GPIO chips) in private namespaces.
# Prints every figure in one run; takes about six minutes (--quick: about one).
#   bench/run.sh [--quick]
# Needs root (network and mount namespaces), like the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
ninja -C build/default -j2 obdgw-e2e-bench >/dev/null

echo "== obd-gateway daemon benchmarks ($(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores)"
exec tests/netns_run.sh build/default/tests/e2e/obdgw-e2e-bench "$@"
