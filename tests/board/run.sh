#!/usr/bin/env bash
# The board in a box: the obd-gateway package installed with apt on a Debian 12
# system under systemd, booted with Debian's kernel under QEMU (TCG): two
# emulated Kvaser PCIcan cards (SJA1000) on one CAN bus, can0 for the daemon,
# can1 for the vehicle, and the relay chips 0, 3, 4 as gpio-sim banks.
#
#   tests/board/run.sh [--arch amd64|arm64] [--cuts N] [--moments LIST] [--journal-seconds S] [--scenarios LIST] [PHASE...]
#   tests/board/run.sh [--arch ...] --shell      boot with the package installed, console here
#   --keep: go on with the last run's disk instead of a fresh one
#   --lab FILE: a boot that runs FILE (bash) in the guest, its output on the console
#
# Phases, one boot each: install (apt install, unit checks), main (the
# scenarios, then an apt upgrade), cut (N power cuts per moment: during the
# ECU information file's write, a factory restore, an apt upgrade; each
# checked on the next boot; --moments: some of ecu_info,factory,apt), check
# (the checks after a cut, alone), purge.
# Default: install main cut purge. --scenarios "a b": only these of the main
# phase, in this order (first_boot always runs first; names in guest/bench.sh).
# The image and the gpio-sim module are cached (tests/board/image.sh); the
# console and each phase's files are kept in build/board/<arch>/.
# Exit 0 when every check passed, 1 otherwise.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
arch=amd64
cuts=${OBDGW_BOARD_CUTS:-1}
jsecs=${OBDGW_BOARD_JOURNAL_SECONDS:-60}
scenarios=
moments="ecu_info factory apt"
shell=0
keep=0
lab=
phases=()
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=$2; shift 2 ;;
    --cuts) cuts=$2; shift 2 ;;
    --journal-seconds) jsecs=$2; shift 2 ;;
    --scenarios) scenarios=$2; shift 2 ;;
    --moments) moments=$2; shift 2 ;;
    --shell) shell=1; shift ;;
    --keep) keep=1; shift ;;
    --lab) lab=$2; phases+=(lab); shift 2 ;;
    -h | --help) sed -n '2,20p' "$0"; exit 0 ;;
    *) phases+=("$1"); shift ;;
    esac
done
[ ${#phases[@]} -gt 0 ] || phases=(install main cut purge)
case "$arch" in
amd64) qemu=(qemu-system-x86_64 -M q35 -cpu max) console=ttyS0 ;;
arm64) qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57) console=ttyAMA0 ;;
*) echo "run.sh: unknown arch $arch" >&2; exit 2 ;;
esac
say() { echo "board ($arch): $*"; }
out=$src/build/board/$arch
share=$out/share
mkdir -p "$out"

# --- the packages and the image -----------------------------------------
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64-static >/dev/null ||
    ! command -v mmdebstrap >/dev/null || [ ! -f /usr/src/linux-source-6.1.tar.xz ] ||
    ! dpkg -s libcjson-dev:arm64 libpaho-mqtt-dev:arm64 libgpiod-dev:arm64 >/dev/null 2>&1; then
    say "installing what the packages and the image need"
    { bash "$src/scripts/install-deps.sh" && bash "$src/scripts/install-deps.sh" --arm64; } >"$out/deps.log" 2>&1 ||
        { tail -20 "$out/deps.log"; say "FAIL dependencies"; exit 1; }
fi
(cd "$src" && scripts/package.sh "$arch") >"$out/package.log" 2>&1 || { tail -20 "$out/package.log"; say "FAIL packaging"; exit 1; }
results=$out/results.txt
# What needs no board: the packages' contents and dependencies, the arguments.
static=package
[ "$arch" = amd64 ] && [ -x "$src/build/default/obd-gateway" ] && static="args package"
OBDGW_PKG_ARCHS=$arch "$here/board_test.sh" $static 2>&1 | grep -v '^== board' | sed "s/^FAIL - /FAIL static: /; s/^/board ($arch): /" | tee "$results"
t0=$(date +%s)
disk=$("$here/image.sh" --arch "$arch") || { say "FAIL the image could not be built"; exit 1; }
img=$(dirname "$disk")
say "image $(du -sh --apparent-size "$img/root" | cut -f1) tree, disk $(du -sh "$disk" | cut -f1) used of $(du -sh --apparent-size "$disk" | cut -f1), kernel $(cat "$img/kernel") ($(($(date +%s) - t0)) s to have it)"

rm -rf "$share" && mkdir -p "$share"/{debs/next,vehicles,out}
cp -r "$here/guest" "$here/expected" "$share/"
cp "$src"/tests/e2e/vehicles/full_*.json "$here"/vehicles/*.json "$share/vehicles/"
cp "$img/gpio-sim.ko" "$share/"
ver=$(sed -n 's/^project(.*VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt" | head -1)
cp "$src/build/packages/obd-gateway_${ver}-1_$arch.deb" "$src/build/packages/obd-gateway-tools_${ver}-1_$arch.deb" "$share/debs/" ||
    { say "FAIL no packages of version $ver"; exit 1; }
# The next version: the same package with a new number and another factory copy.
x=$out/repack
rm -rf "$x" && dpkg-deb -R "$share/debs/obd-gateway_${ver}-1_$arch.deb" "$x"
sed -i 's/^Version: .*/Version: 99.0.0-1/' "$x/DEBIAN/control"
sed -i 's/"BR": *500000/"BR": 250000/' "$x/opt/vyr/configs/default_config/default_config.json"
dpkg-deb -b "$x" "$share/debs/next/obd-gateway_99.0.0-1_$arch.deb" >/dev/null && rm -rf "$x"
printf 'JOURNAL_SECONDS=%s\nSCENARIOS="%s"\n' "$jsecs" "$scenarios" >"$share/config"
# The one-ECU car answering "response pending" before its VIN, its pending
# codes and its clear (3 s), for the pending scenario.
python3 - "$share/vehicles" <<'PY' || { say "FAIL no pending vehicle"; exit 1; }
import json, sys
d = json.load(open(sys.argv[1] + "/full_11bit.json"))
d["name"] = "The one-ECU car, answering \"response pending\" first"
d["ecus"][0]["pending"] = [{"service": "09", "count": 1, "ms": 200}, {"service": "07", "count": 1, "ms": 30},
                           {"service": "04", "count": 1, "ms": 3000}]
json.dump(d, open(sys.argv[1] + "/pending_11bit.json", "w"), indent=2)
PY
[ -n "$lab" ] && cp "$lab" "$share/lab.sh"
# The preload library's rule tests, built for the host, run against the amd64 kernel.
b=$src/build/default
if [ "$arch" = amd64 ] && [ -x "$b/tests/can_preload_test" ]; then
    mkdir -p "$share/kt/build/tests" "$share/kt/build/tools/can_preload" "$share/kt/build/tools/vehicle_sim_cli" "$share/kt/src/tools/vehicles"
    cp "$b/tests/can_preload_test" "$b/tests/can-init-repeat" "$share/kt/build/tests/"
    cp "$b/tools/can_preload/obdsim-can-probe" "$b/tools/can_preload/libobdsim_can_preload.so" "$share/kt/build/tools/can_preload/"
    cp "$b/tools/vehicle_sim_cli/obd-vehicle-sim" "$share/kt/build/tools/vehicle_sim_cli/"
    cp "$src/tools/vehicles/petrol_11bit.json" "$share/kt/src/tools/vehicles/"
fi

# The board's disk: a copy-on-write layer over the cached image, new for each
# run (--keep: the last run's, to go on from where it stopped).
[ "$keep" = 1 ] && [ -f "$out/disk.qcow2" ] || qemu-img create -q -f qcow2 -F raw -b "$disk" "$out/disk.qcow2"

# --- boots ---------------------------------------------------------------
# boot PHASE [CUT_AFTER_MS]: one boot; with CUT_AFTER_MS, the VM is killed
# (no shutdown, no sync) that long after the guest announces "BT CUT".
boot() {
    local phase=$1 cut=${2:-} log=$out/console-$1.log
    echo "$phase" >"$share/phase"
    : >"$log"
    local start
    start=$(date +%s.%N)
    # Ahead of whatever else the host runs: the guest's timers are real time.
    nice -n -5 "${qemu[@]}" -accel tcg -smp 1 -m 1024M -no-reboot -display none -monitor none -serial "file:$log" \
        -kernel "$img/vmlinuz" -initrd "$img/initrd.img" \
        -append "root=/dev/vda rw console=$console quiet loglevel=3 systemd.show_status=0 panic=-1" \
        -drive "file=$out/disk.qcow2,if=none,id=disk,format=qcow2,cache=writeback" -device virtio-blk-pci,drive=disk \
        -virtfs "local,path=$share,mount_tag=bench,security_model=none,id=bench" \
        -object can-bus,id=canbus0 -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0 \
        -nic none </dev/null >"$out/qemu-$phase.log" 2>&1 &
    local q=$! deadline=$(($(date +%s) + ${OBDGW_BOARD_BOOT_LIMIT:-1800})) killed=
    while kill -0 $q 2>/dev/null; do
        if [ -n "$cut" ] && [ -z "$killed" ] && grep -q '^BT CUT' "$log"; then
            sleep "$(awk -v ms="$cut" 'BEGIN { printf "%.3f", ms / 1000 }')"
            kill -KILL $q
            killed=1
        fi
        if [ "$(date +%s)" -gt "$deadline" ]; then
            kill -KILL $q
            say "FAIL $phase: no end within the time limit"
        fi
        sleep 0.05
    done
    wait $q 2>/dev/null
    local end
    end=$(date +%s.%N)
    tr -d '\r' <"$log" | grep -a '^BT ' | sed "s/^BT /board ($arch): /" | grep -v ': CUT' || true
    [ -n "$killed" ] && say "CUT $phase: power cut $cut ms after the mark, last seen: $(tr -d '\r' <"$log" | grep -a '^BT SEEN' | tail -1 | cut -d' ' -f3-)"
    awk -v p="$phase" -v s="$start" -v e="$end" -v a="$arch" 'BEGIN { printf "board (%s): TIME boot %s %.1f s in QEMU\n", a, p, e - s }'
    if [ -z "$killed" ] && ! grep -aq "^BT DONE" "$log"; then
        say "FAIL $phase: the guest did not finish; console in $log"
        tr -d '\r' <"$log" | tail -20
    fi
}

if [ "$shell" = 1 ]; then
    boot install
    echo shell >"$share/phase"
    exec "${qemu[@]}" -accel tcg -smp 1 -m 1024M -nographic -kernel "$img/vmlinuz" -initrd "$img/initrd.img" \
        -append "root=/dev/vda rw console=$console" \
        -drive "file=$out/disk.qcow2,if=none,id=disk,format=qcow2" -device virtio-blk-pci,drive=disk \
        -virtfs "local,path=$share,mount_tag=bench,security_model=none,id=bench" \
        -object can-bus,id=canbus0 -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0 -nic none
fi

for p in "${phases[@]}"; do
    if [ "$p" = cut ]; then
        # Where each moment's write falls, from the main phase: the kill lands
        # at random across it.
        i=0
        while [ $i -lt "$cuts" ]; do
            for m in ${moments//,/ }; do
                w=$(cat "$out/console-main.log" 2>/dev/null | tr -d '\r' |
                    sed -n "s/^BT NOTE window $m \([0-9]*\) \([0-9]*\)$/\1 \2/p" | tail -1)
                [ -n "$w" ] || w="500 3000"
                ms=$(awk -v w="$w" 'BEGIN { srand(); split(w, a, " "); printf "%d", a[1] + rand() * (a[2] - a[1]) }')
                boot "cut-$m-$i" "$ms" | tee -a "$results"
            done
            i=$((i + 1))
        done
    else
        boot "$p" | tee -a "$results"
    fi
done
if grep -q ': FAIL' "$results"; then
    say "FAILED: $(grep -o 'FAIL [a-z0-9_-]*' "$results" | sort -u | cut -d' ' -f2 | tr '\n' ' ')"
    exit 1
fi
say "passed"
