#!/usr/bin/env bash
# The run command: the real, unchanged obd-gateway against a simulated vehicle,
# with a UI-side MQTT client showing the start-up reports, then obd-gateway-cli
# as a technician uses it: status, a trouble-code read, five seconds of live
# data ended by Ctrl-C, readiness and the freeze frame, a clear, and relay
# commands with the GPIO line levels. Everything runs in private namespaces
# (its own loopback with its own broker on 127.0.0.1:1883, its own
# /opt/vyr/configs, its own process tree) and everything it starts is stopped
# at the end.
#
#   scripts/demo.sh                       simulated bus through the SocketCAN preload library
#   scripts/demo.sh --vehicle FILE.json   another vehicle (tools/vehicles/*.json)
#   scripts/demo.sh --can can0            the real can0 (a board, or "ip link add can0 type vcan"),
#                                         with the simulator answering on it
#   scripts/demo.sh --can can0 --no-sim   the real can0 with a real vehicle on it
#
# Needs root (namespaces, bind mounts); installs and builds what is missing.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build/default"
vehicle="$repo/tools/vehicles/petrol_11bit.json"
config="$repo/tools/vehicles/demo_config.json"
can_if=""
use_sim=1

usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
    case "$1" in
        --vehicle) vehicle=$(realpath "$2"); shift 2 ;;
        --can) can_if="$2"; shift 2 ;;
        --no-sim) use_sim=0; shift ;;
        --inside) shift; break ;;
        -h|--help) usage; exit 0 ;;
        *) echo "demo: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done

if [ "${OBDGW_DEMO_INSIDE:-0}" != 1 ]; then
    # ------------------------------------------------------------ outside
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            exec sudo -E "$0" "$@" ${vehicle:+--vehicle "$vehicle"} ${can_if:+--can "$can_if"} \
                $([ "$use_sim" = 1 ] || echo --no-sim)
        fi
        echo "demo: needs root (namespaces and bind mounts)" >&2
        exit 1
    fi
    if [ -n "$can_if" ] && [ "$can_if" != can0 ]; then
        echo "demo: the gateway always uses can0; --can takes can0 only" >&2
        exit 2
    fi
    if [ -n "$can_if" ] && ! ip link show "$can_if" >/dev/null 2>&1; then
        echo "demo: --can $can_if given but there is no $can_if (for a virtual one: ip link add can0 type vcan && ip link set can0 up)" >&2
        exit 1
    fi
    if [ "$use_sim" = 0 ] && [ -z "$can_if" ]; then
        echo "demo: --no-sim needs --can can0 (a real vehicle on the real interface)" >&2
        exit 2
    fi

    deps_missing() {
        local c
        for c in cmake ninja g++ pkg-config mosquitto mosquitto_pub mosquitto_sub unshare ip python3; do
            command -v "$c" >/dev/null 2>&1 || return 0
        done
        pkg-config --exists libcjson 'libgpiod >= 2.0' || return 0
        [ -f /usr/include/MQTTClient.h ] || return 0
        [ -f /usr/include/gtest/gtest.h ] || return 0
        return 1
    }
    if deps_missing; then
        echo "== installing what is missing (scripts/install-deps.sh)"
        bash "$repo/scripts/install-deps.sh"
    fi
    echo "== building obd-gateway, obd-vehicle-sim and the preload libraries"
    ( cd "$repo"
      [ -f "$build/build.ninja" ] || cmake --preset default >/dev/null
      cmake --build --preset default --target obd-gateway obd-gateway-cli obd-vehicle-sim obdsim_can_preload \
          fake_gpiod_preload \
          | grep -v '^ninja: no work to do' || true )
    for f in obd-gateway obd-gateway-cli tools/vehicle_sim_cli/obd-vehicle-sim tools/can_preload/libobdsim_can_preload.so \
             tools/fake_gpiod/libfake_gpiod_preload.so; do
        [ -e "$build/$f" ] || { echo "demo: $build/$f was not built" >&2; exit 1; }
    done

    start_ns=$(date +%s%N)
    work=$(mktemp -d /tmp/obdgw-demo-XXXXXX)
    logs="$repo/build/demo"
    rm -rf "$logs" && mkdir -p "$logs"
    # A private network namespace has no can0: with --can the host's network stays.
    net=--net
    [ -n "$can_if" ] && net=""
    set +e
    OBDGW_DEMO_INSIDE=1 OBDGW_DEMO_WORK="$work" OBDGW_DEMO_LOGS="$logs" OBDGW_DEMO_VEHICLE="$vehicle" \
    OBDGW_DEMO_CAN="$can_if" OBDGW_DEMO_SIM="$use_sim" OBDGW_DEMO_CONFIG="$config" \
        unshare $net --mount --pid --fork --mount-proc -- bash "$0" --inside
    rc=$?
    set -e
    rm -rf "$work"
    tenths=$(( ($(date +%s%N) - start_ns) / 100000000 ))
    outcome=FAILED
    [ $rc -eq 0 ] && outcome=finished
    [ $rc -eq 130 ] && outcome=interrupted
    printf '\n== demo %s in %d.%d s; logs in %s\n' "$outcome" \
        $((tenths / 10)) $((tenths % 10)) "${logs#"$repo"/}"
    exit $rc
fi

# ---------------------------------------------------------------- inside
# PID 1 of a private PID namespace: whatever is left when this script ends is
# killed by the kernel with it. The trap still stops everything in order.
work=$OBDGW_DEMO_WORK
logs=$OBDGW_DEMO_LOGS
can_if=$OBDGW_DEMO_CAN
pids=()

stop_all() {
    local p
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    pids=()
}
trap stop_all EXIT
trap 'exit 130' INT TERM

wait_for() { # what, seconds, test command...
    local what=$1 secs=$2 i
    shift 2
    for ((i = 0; i < secs * 20; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    echo "demo: $what did not come up; see $logs" >&2
    return 1
}

mount --make-rprivate /
[ -z "$can_if" ] && ip link set lo up

# The daemon keeps its fixed paths: /opt/vyr/configs is this run's own
# directory, laid over /opt without changing anything underneath.
mount -t tmpfs demo "$work"
mkdir -p "$work/upper" "$work/ovl" "$work/configs/default_config"
mount -t overlay overlay -o "lowerdir=/opt,upperdir=$work/upper,workdir=$work/ovl" /opt
mkdir -p /opt/vyr/configs
mount --bind "$work/configs" /opt/vyr/configs
cp "$OBDGW_DEMO_CONFIG" /opt/vyr/configs/config.json
cp "$repo/config/default_config.json" /opt/vyr/configs/default_config/default_config.json

broker_up() { timeout 0.5 bash -c '</dev/tcp/127.0.0.1/1883'; }
if [ -n "$can_if" ] && broker_up; then
    echo "== using the broker already listening on 127.0.0.1:1883"
else
    printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\nset_tcp_nodelay true\n' >"$work/mosquitto.conf"
    mosquitto -c "$work/mosquitto.conf" >"$logs/mosquitto.log" 2>&1 &
    pids+=($!)
    wait_for "mosquitto" 5 broker_up
fi

sim_ctl=""
if [ "$OBDGW_DEMO_SIM" = 1 ]; then
    sim_ctl="$work/sim.ctl"
    if [ -n "$can_if" ]; then
        transport=(--can "$can_if")
    else
        transport=(--bus "$work/bus.sock")
    fi
    "$build/tools/vehicle_sim_cli/obd-vehicle-sim" --vehicle "$OBDGW_DEMO_VEHICLE" "${transport[@]}" \
        --control "$sim_ctl" --no-stdin >"$logs/vehicle-sim.log" 2>&1 &
    pids+=($!)
    wait_for "obd-vehicle-sim" 5 test -S "$sim_ctl"
fi

# The vehicle is "unplugged" until the UI has seen the gateway on the bus.
[ -n "$sim_ctl" ] && "$build/tools/vehicle_sim_cli/obd-vehicle-sim" --send "$sim_ctl" silent >/dev/null

# The UI listens before the gateway starts, so the start-up reports are seen.
mosquitto_sub -h 127.0.0.1 -t dt/app_to_ui/resp -q 1 -F '%x' >"$work/resp.hex" 2>"$logs/mosquitto_sub.log" &
pids+=($!)
sleep 0.3

preload="$build/tools/fake_gpiod/libfake_gpiod_preload.so"
[ -z "$can_if" ] && preload="$build/tools/can_preload/libobdsim_can_preload.so:$preload"
LD_PRELOAD="$preload" OBDSIM_BUS="$work/bus.sock" OBDSIM_IP_LOG="$logs/ip-link.log" \
FAKE_GPIOD_STATE_FILE="$logs/gpio-lines.txt" \
    "$build/obd-gateway" >"$logs/obd-gateway.log" 2>&1 &
pids+=($!)
gateway=$!

set +e
OBDGW_UI_RESP="$work/resp.hex" OBDGW_UI_SIM_CTL="$sim_ctl" OBDGW_UI_GPIO="$logs/gpio-lines.txt" \
OBDGW_UI_GATEWAY_PID=$gateway OBDGW_UI_CLI="$build/obd-gateway-cli" python3 - <<'PY'
import json, os, signal, socket, subprocess, sys, threading, time

signal.signal(signal.SIGINT, lambda *_: os._exit(130))  # Ctrl-C: no traceback, the script cleans up

resp_path = os.environ["OBDGW_UI_RESP"]
sim_ctl = os.environ.get("OBDGW_UI_SIM_CTL") or None
gpio_path = os.environ["OBDGW_UI_GPIO"]
gateway_pid = int(os.environ["OBDGW_UI_GATEWAY_PID"])
cli_path = os.environ["OBDGW_UI_CLI"]
tty = sys.stdout.isatty()
t0 = time.monotonic()

def dim(s): return f"\033[2m{s}\033[0m" if tty else s
def bold(s): return f"\033[1m{s}\033[0m" if tty else s
def stamp(): return f"{time.monotonic() - t0:6.1f}s"
def say(s=""): print(s, flush=True)

STATUS = {
    "WRNGCFG": "configuration file unusable", "CANERR": "CAN interface bring-up failed",
    "NOECU": "no vehicle answers", "MODEDETECTED": "vehicle found, addressing mode detected",
    "GOTINFO": "vehicle information read", "GOTPID": "supported sensors probed",
    "SAVSUC": "identification done, ECU information saved", "ECU": "heartbeat: vehicle present",
    "GOTECU": "vehicle back after an absence", "COMER": "no vehicle for this command",
    "NORES": "the vehicle gave no usable answer", "DTC_CLEARED": "trouble codes cleared",
    "NOTSUP": "the vehicle does not support this", "NOFRAME": "no freeze frame stored",
}

class Stream:
    """Packets the gateway publishes, read from mosquitto_sub's hex output."""
    def __init__(self, path):
        self.f = open(path, "rb")
        self.buf = b""
    def next(self, timeout):
        end = time.monotonic() + timeout
        while True:
            nl = self.buf.find(b"\n")
            if nl >= 0:
                line, self.buf = self.buf[:nl].strip(), self.buf[nl + 1:]
                if not line:
                    continue
                try:
                    text = bytes.fromhex(line.decode()).decode("utf-8", "replace")
                    return text, json.loads(text)
                except ValueError:
                    return line.decode(errors="replace"), None
            chunk = self.f.read()
            if chunk:
                self.buf += chunk
                continue
            if time.monotonic() >= end:
                return None, None
            try:
                os.kill(gateway_pid, 0)
            except ProcessLookupError:
                raise SystemExit("demo: obd-gateway stopped")
            time.sleep(0.02)

def publish(obj, what):
    text = json.dumps(obj, separators=(",", ":"))
    say(f"  {stamp()}  {bold('UI ->')} {text}   {dim(what)}")
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-t", "dt/ui_to_app/cmd", "-q", "1", "-m", text],
                   check=True)

def show_status(text, pkt):
    msg = pkt.get("DATA", {}).get("msg", "")
    mark = "ERROR" if pkt.get("ERROR") else "ok"
    say(f"  {stamp()}  {'<- ':>5} {text}   {dim(STATUS.get(msg, '') + ('' if mark == 'ok' else ' (ERROR 1)'))}")

def wait_for(pred, timeout, what, show_other=True):
    end = time.monotonic() + timeout
    while True:
        left = end - time.monotonic()
        text, pkt = stream.next(max(left, 0))
        if text is None:
            raise SystemExit(f"demo: no {what} within {timeout:.0f} s")
        if pkt is not None and pred(pkt):
            return text, pkt
        if show_other and pkt is not None and "msg" in pkt.get("DATA", {}):
            show_status(text, pkt)

def is_status(msg):
    return lambda p: p.get("DATA", {}).get("msg") == msg if isinstance(p.get("DATA"), dict) else False

def sim(cmd):
    if not sim_ctl:
        return
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(sim_ctl)
        s.sendall((cmd + "\n").encode())
        data = b""
        while not data.endswith(b"ok\n") and b"error:" not in data:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk

def step(title):
    say()
    say(bold(f"== {title}"))

def cli(*args, check=True, interrupt_after=None):
    """Runs obd-gateway-cli as a technician would, its output shown as it comes."""
    say(f"  {stamp()}  {bold('$ obd-gateway-cli ' + ' '.join(args))}")
    p = subprocess.Popen([cli_path, *args])
    if interrupt_after is not None:
        try:
            p.wait(interrupt_after)
        except subprocess.TimeoutExpired:
            p.send_signal(signal.SIGINT)
    rc = p.wait(90)
    if check and rc != 0:
        raise SystemExit(f"demo: obd-gateway-cli {' '.join(args)} ended with exit status {rc}")
    return rc

stream = Stream(resp_path)

# 1. Start-up -------------------------------------------------------------
step("1. Start-up: the gateway finds and identifies the vehicle")
if sim_ctl:
    # The simulated vehicle starts unplugged (silent), so the reports of the
    # whole start-up reach the UI: the gateway drops reports published before
    # its MQTT connection is up.
    text, pkt = wait_for(is_status("NOECU"), 20, '"NOECU" report')
    show_status(text, pkt)
    say(dim(f"  {stamp()}  sim: vehicle plugged in"))
    sim("back")
# A report published before the gateway's MQTT connection was up is lost;
# with a real vehicle that may be all of them, and the heartbeat comes next.
text, pkt = wait_for(lambda p: is_status("SAVSUC")(p) or is_status("ECU")(p), 40, '"SAVSUC" report')
show_status(text, pkt)
# The technician's view: the next heartbeat and what ecu_info.json records.
cli("status")

# 2. Trouble codes --------------------------------------------------------
step("2. Trouble codes")
cli("dtc")
say(dim("           (the gateway lists a stored code only when it is also pending)"))

# 3. Live data ------------------------------------------------------------
step("3. Live data for five seconds (the simulated engine revs up meanwhile), then Ctrl-C")
stop = threading.Event()
def drive():
    k = 0
    while not stop.is_set():
        k += 1
        rpm = min(800 + k * 180, 3400)
        speed = min(k * 5, 90)
        sim(f"pid 0C {int(rpm * 4) >> 8:02X} {int(rpm * 4) & 0xFF:02X}")
        sim(f"pid 0D {speed:02X}")
        sim(f"pid 04 {min(30 + k * 4, 95) * 255 // 100:02X}")
        sim(f"pid 11 {min(15 + k * 5, 85) * 255 // 100:02X}")
        sim(f"pid 05 {min(55 + k, 92) + 40:02X}")
        stop.wait(0.3)
driver = threading.Thread(target=drive, daemon=True)
driver.start()
# Interrupted as a technician would: the client sends the stop command itself.
cli("live", interrupt_after=5)
stop.set()
driver.join()
time.sleep(0.5)

# 4. Readiness and freeze frame ---------------------------------------------
step("4. Readiness and freeze frame")
cli("readiness")
cli("freeze")

# 5. Clear ------------------------------------------------------------------
step("5. Clear the trouble codes")
if sim_ctl:
    if cli("clear", "--yes", check=False) == 0:
        cli("dtc")
        say(dim("           (permanent codes stay until the vehicle itself has verified the repair)"))
        cli("readiness")
        cli("freeze")
        say(dim("           (a clear erases the freeze frame and starts every monitor over)"))
    else:
        # The gateway would try three more times; a new command ends that.
        publish({"TYP": 1, "CMD": 3}, "give up, go idle")
else:
    say(dim("           skipped: this is a real vehicle, its trouble codes are left alone"))

# 6. Relays -----------------------------------------------------------------
RELAYS = [("gpiochip4", 10), ("gpiochip4", 11), ("gpiochip3", 31), ("gpiochip4", 0), ("gpiochip3", 27),
          ("gpiochip3", 26), ("gpiochip4", 14), ("gpiochip3", 25), ("gpiochip4", 13), ("gpiochip0", 20),
          ("gpiochip0", 21), ("gpiochip0", 13)]

def lines_now():
    levels = {}
    try:
        with open(gpio_path) as f:
            for l in f:
                parts = l.split()
                if len(parts) >= 4:
                    levels[(parts[0], int(parts[1]))] = parts[3]
    except OSError:
        pass
    return [levels.get(r, "?") for r in RELAYS]

def show_relays():
    lv = lines_now()
    say("           relay " + " ".join(f"{'DO%d' % i:>4}" for i in range(12)))
    say("           state " + " ".join(f"{('ON' if v == '0' else 'off' if v == '1' else '?'):>4}" for v in lv))
    say("           line  " + " ".join(f"{v:>4}" for v in lv) + dim("   (relays are driven inverted: on = low)"))

def relay(*switches):
    before = lines_now()
    for sw in switches:
        cli("relay", *sw.split())
    end = time.monotonic() + 3
    while time.monotonic() < end and lines_now() == before:
        time.sleep(0.05)
    time.sleep(0.6)  # the gateway applies a relay command within half a second
    show_relays()

step("6. Relay outputs (line levels read back from the GPIO stand-in)")
show_relays()
relay("DO0 on", "DO5 on")
relay("DO0 off", "DO11 on")
say(dim("           (DO5 stays on)"))
lv = lines_now()
if lv[0] != "1" or lv[5] != "0" or lv[11] != "0":
    raise SystemExit("demo: the relay lines do not show the commanded states")
say()
PY
rc=$?
set -e

echo
echo "== stopping the gateway, the simulator and the broker"
stop_all
if [ "$OBDGW_DEMO_SIM" = 1 ]; then
    echo "   last frames on the bus (full trace: ${logs#"$repo"/}/vehicle-sim.log):"
    grep -E '  (RX|TX)  ' "$logs/vehicle-sim.log" | tail -n 6 | sed 's/^/   /'
fi
if [ -s "$logs/ip-link.log" ]; then
    echo "   interface commands the gateway asked for (logged, not run):"
    awk '!seen[$0]++ { print "     " $0 }' "$logs/ip-link.log"
fi
exit $rc
