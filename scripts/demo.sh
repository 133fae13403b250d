#!/usr/bin/env bash
# The run command: the real, unchanged obd-gateway against a simulated vehicle,
# with a UI-side MQTT client showing what the interface application sees:
# start-up reports, a trouble-code read, five seconds of live data, readiness
# and the freeze frame, a clear, and two relay commands with the GPIO line
# levels. Everything runs in private namespaces (its own loopback with its own
# broker on 127.0.0.1:1883, its own /opt/vyr/configs, its own process tree)
# and everything it starts is stopped at the end.
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

usage() { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; }

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
      cmake --build --preset default --target obd-gateway obd-vehicle-sim obdsim_can_preload fake_gpiod_preload \
          | grep -v '^ninja: no work to do' || true )
    for f in obd-gateway tools/vehicle_sim_cli/obd-vehicle-sim tools/can_preload/libobdsim_can_preload.so \
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
OBDGW_UI_GATEWAY_PID=$gateway python3 - <<'PY'
import json, os, signal, socket, subprocess, sys, threading, time

signal.signal(signal.SIGINT, lambda *_: os._exit(130))  # Ctrl-C: no traceback, the script cleans up

resp_path = os.environ["OBDGW_UI_RESP"]
sim_ctl = os.environ.get("OBDGW_UI_SIM_CTL") or None
gpio_path = os.environ["OBDGW_UI_GPIO"]
gateway_pid = int(os.environ["OBDGW_UI_GATEWAY_PID"])
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

UNITS = {"ENGRPM": "rpm", "SPD": "km/h", "COLTMP": "degC", "INTTMP": "degC", "AMBTMP": "degC", "OILTEMP": "degC",
         "ENGLD": "%", "THRTPS": "%", "FLLVL": "%", "FULPRS": "kPa", "INTPRS": "kPa", "TMADV": "deg",
         "MSFLRT": "g/s", "CNTMDVOL": "V", "STFT1": "%", "LTFT1": "%"}

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
try:
    with open("/opt/vyr/configs/ecu_info.json") as f:
        info = json.load(f)
    e = info.get("ECU_INFO", {})
    avail = [k for k, v in info.get("LIVE_PIDS", {}).items() if v == 1]
    say(dim(f"           ecu_info.json: VIN {e.get('VID')}, CALID {e.get('CID')}, CVN {e.get('CVN')}, "
            f"ECU {e.get('ECUNM')}, {e.get('PROTO')} at {e.get('BR')} bit/s"))
    say(dim(f"           sensors answering: {' '.join(avail)}"))
except (OSError, ValueError):
    pass
if not is_status("ECU")(pkt):
    text, pkt = wait_for(is_status("ECU"), 8, '"ECU" heartbeat')
    show_status(text, pkt)

# 2. Trouble codes --------------------------------------------------------
def read_dtcs():
    publish({"TYP": 1, "CMD": 1}, "read trouble codes")
    text, pkt = wait_for(lambda p: p.get("CMD") == 1 and "STRDTC" in p.get("DATA", {}), 40, "trouble-code packet")
    say(f"  {stamp()}  {'<- ':>5} {text}")
    d = pkt["DATA"]
    for key, name in (("STRDTC", "stored"), ("PNDDTC", "pending"), ("PRMDTC", "permanent")):
        codes = ", ".join(d.get(key, [])) or "none"
        say(f"           {name:>9}: {codes}")

step("2. Trouble codes")
read_dtcs()
say(dim("           (the gateway lists a stored code only when it is also pending)"))

# 3. Live data ------------------------------------------------------------
step("3. Live data for five seconds (the simulated engine revs up meanwhile)")
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
publish({"TYP": 1, "CMD": 2}, "start live data")
driver.start()
end = time.monotonic() + 5
count, drawn, last_text = 0, 0, None
while time.monotonic() < end:
    text, pkt = stream.next(end - time.monotonic())
    if pkt is None or pkt.get("CMD") != 2 or "msg" in pkt.get("DATA", {}):
        if pkt is not None and "msg" in pkt.get("DATA", {}):
            show_status(text, pkt)
            drawn = 0
        continue
    count += 1
    last_text = text
    rows = list(pkt["DATA"].items())
    lines = [f"           {'sensor':<8} {'value':>10}         (snapshot {count}, {stamp().strip()})"]
    lines += [f"           {k:<8} {v if isinstance(v, str) else format(v, '.2f'):>10} {UNITS.get(k, ''):<6}"
              for k, v in rows]
    if tty:
        if drawn:
            sys.stdout.write(f"\033[{drawn}F")
        sys.stdout.write("".join(l + "\033[K\n" for l in lines))
        sys.stdout.flush()
        drawn = len(lines)
    else:
        say("           " + "  ".join(f"{k}={v if isinstance(v, str) else format(v, '.2f')}" for k, v in rows)
            + f"   (#{count}, {stamp().strip()})")
stop.set()
driver.join()
publish({"TYP": 1, "CMD": 3}, "stop live data, go idle")
if count == 0:
    raise SystemExit("demo: no live data within five seconds")
say(dim(f"           {count} live packets; the last one as published:"))
for l in (last_text or "").splitlines():
    say(dim("             " + l))
time.sleep(0.5)
while True:  # the snapshot that was on its way when the stop came
    text, pkt = stream.next(0.3)
    if text is None:
        break

# 4. Readiness and freeze frame ---------------------------------------------
STATE = {"COMPLETE": "complete", "INCOMPLETE": "INCOMPLETE", "UNSUPPORTED": "-", "DISABLED": "off"}

def show_monitors(title, monitors):
    say(f"           {title}: " + "  ".join(f"{k} {STATE.get(v, v)}" for k, v in monitors.items()))

def read_readiness():
    publish({"TYP": 1, "CMD": 13}, "readiness: MIL and monitors")
    text, pkt = wait_for(lambda p: p.get("CMD") == 13, 30, "readiness packet", show_other=False)
    say(f"  {stamp()}  {'<- ':>5} {text}")
    d = pkt.get("DATA", {})
    if "MON" in d:
        say(f"           MIL {'on' if d['MIL'] else 'off'}, {d['DTCCNT']} confirmed code(s), {d['IGN'].lower()} ignition")
        show_monitors("since clear", d["MON"])
        if "CYC" in d:
            show_monitors(" this cycle", d["CYC"])

def read_freeze_frame():
    publish({"TYP": 1, "CMD": 14}, "freeze frame")
    text, pkt = wait_for(lambda p: p.get("CMD") == 14, 30, "freeze-frame packet", show_other=False)
    d = pkt.get("DATA", {})
    if "DTC" in d:
        say(f"  {stamp()}  {'<- ':>5} {text}")
        say(f"           stored by {d['DTC']}: " +
            "  ".join(f"{k}={v if isinstance(v, str) else format(v, '.2f')}{UNITS.get(k, '')}" for k, v in d["VAL"].items()))
    else:
        show_status(text, pkt)

step("4. Readiness and freeze frame")
read_readiness()
read_freeze_frame()

# 5. Clear ------------------------------------------------------------------
step("5. Clear the trouble codes")
if sim_ctl:
    publish({"TYP": 1, "CMD": 4}, "clear trouble codes")
    text, pkt = wait_for(lambda p: p.get("CMD") == 4 and "msg" in p.get("DATA", {}), 30, "answer to the clear")
    show_status(text, pkt)
    if is_status("DTC_CLEARED")(pkt):
        read_dtcs()
        say(dim("           (permanent codes stay until the vehicle itself has verified the repair)"))
        read_readiness()
        read_freeze_frame()
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

def relay(cmd, what):
    before = lines_now()
    publish({"TYP": 2, "DATA": {"params": {"DO": cmd}}}, what)
    end = time.monotonic() + 3
    while time.monotonic() < end and lines_now() == before:
        time.sleep(0.05)
    time.sleep(0.1)
    show_relays()

step("6. Relay outputs (line levels read back from the GPIO stand-in)")
show_relays()
relay({"DO0": 1, "DO5": 1}, "DO0 and DO5 on")
relay({"DO0": 0, "DO11": 1}, "DO0 off, DO11 on (DO5 stays on)")
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
