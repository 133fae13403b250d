#!/bin/sh
# The start-up scenario as the UI sees it, with programs as shipped: a
# simulated vehicle on the preload library's bus, the gateway started with the
# service's clean environment and its trace in a pipe, the start-up reports
# on the response topic. Expects private namespaces and a broker on 1883.
# Usage: startup_smoke.sh WORKDIR "GATEWAY CMD" "SIM CMD" VEHICLE "PRELOAD LIBS"
set -u
work=$1 gateway=$2 sim=$3 vehicle=$4 preload=$5
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; }
trap cleanup EXIT
mkdir -p "$work"
$sim --vehicle "$vehicle" --bus "$work/bus.sock" --quiet --no-stdin >"$work/sim.log" 2>&1 &
pids="$pids $!"
# The broker may still be starting on a loaded machine: go on only once the
# subscription has been seen to deliver, or start-up reports are lost.
ready=""
for _ in $(seq 1 100); do
    [ -n "$ready" ] || {
        mosquitto_sub -h 127.0.0.1 -t dt/app_to_ui/resp -q 1 >"$work/resp.txt" 2>&1 &
        ready=$!
    }
    mosquitto_pub -h 127.0.0.1 -t dt/app_to_ui/resp -q 1 -m smoke-ready 2>/dev/null
    grep -q smoke-ready "$work/resp.txt" 2>/dev/null && break
    kill -0 "$ready" 2>/dev/null || ready=""
    sleep 0.1
done
pids="$pids $ready"
grep -q smoke-ready "$work/resp.txt" || { echo "broker not reachable on 127.0.0.1:1883" >&2; exit 1; }
# The simulator runs under emulation too: its bus must exist before the gateway looks.
for _ in $(seq 1 100); do [ -S "$work/bus.sock" ] && break; sleep 0.1; done
# As the unit runs it: no environment of the caller's, cwd /, output to a stream.
mkfifo "$work/trace"
cat "$work/trace" >"$work/gateway.log" &
pids="$pids $!"
(cd / && exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LD_PRELOAD="$preload" OBDSIM_BUS="$work/bus.sock" \
    OBDSIM_IP_LOG="$work/ip-link.log" FAKE_GPIOD_STATE_FILE="$work/gpio-lines.txt" $gateway >"$work/trace" 2>&1) &
pids="$! $pids"
for _ in $(seq 1 600); do
    grep -q SAVSUC "$work/resp.txt" 2>/dev/null && break
    sleep 0.1
done
status=0
# MODEDETECTED may come before the bus worker has connected, and is then lost.
for msg in GOTINFO GOTPID SAVSUC; do
    grep -q "\"msg\":\"$msg\"" "$work/resp.txt" || { echo "no $msg on dt/app_to_ui/resp" >&2; status=1; }
done
grep -q '^OBD2_INFO : Detected ECU with 11-bit mode.$' "$work/gateway.log" ||
    { echo "trace line missing from the pipe" >&2; status=1; }
[ "$status" -eq 0 ] || { echo "--- responses"; cat "$work/resp.txt"; echo "--- trace"; tail -20 "$work/gateway.log"; } >&2
exit $status
