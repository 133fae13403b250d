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

# --- what is asked, checked before anything is built or booted ------------
# Every phase, scenario and moment asked must end in a PASS: a name the guest
# does not know would run nothing and fail nothing, so it stops the run here.
eval "$(sed -n '/^ALL_SCENARIOS="/,/"$/p' "$here/guest/bench.sh")"
wrong=()
for p in "${phases[@]}"; do
    case "$p" in install | main | cut | check | purge | lab) ;; *) wrong+=("phase '$p'") ;; esac
done
# The rules' tests are built for the host: amd64 only.
if [ -z "$scenarios" ]; then
    scenarios=$ALL_SCENARIOS
    [ "$arch" = amd64 ] || scenarios=${scenarios/preload_rules/}
fi
scenarios=$(echo $scenarios)
for s in $scenarios; do
    if [[ " $(echo $ALL_SCENARIOS) " != *" $s "* ]] || ! grep -q "^s_$s() *{" "$here/guest/bench.sh"; then
        wrong+=("scenario '$s'")
    elif [ "$s" = preload_rules ] && [ "$arch" != amd64 ]; then
        wrong+=("scenario 'preload_rules' on $arch (its tests are built for the host: amd64 only)")
    elif [ "$s" = preload_rules ] && [ ! -x "$src/build/default/tests/can_preload_test" ]; then
        wrong+=("scenario 'preload_rules': no host build of its tests (cmake --build --preset default)")
    fi
done
# Each moment's cut window comes from the main phase's scenario that times it.
window_from() { case "$1" in ecu_info) echo isotp ;; factory) echo factory ;; apt) echo upgrade ;; esac; }
if [[ " ${phases[*]} " == *" cut "* ]]; then
    for m in ${moments//,/ }; do
        w=$(window_from "$m")
        if [ -z "$w" ]; then
            wrong+=("moment '$m' (ecu_info, factory or apt)")
        elif [[ " ${phases[*]} " == *" main "* ]]; then
            [[ " $scenarios " == *" $w "* ]] || wrong+=("moment '$m': its cut window comes from scenario '$w', not asked")
        elif ! tr -d '\r' 2>/dev/null <"$out/console-main.log" | grep -q "^BT NOTE window $m "; then
            wrong+=("moment '$m': no cut window in an earlier main phase's console (scenario '$w')")
        fi
    done
fi
if [ ${#wrong[@]} -gt 0 ]; then
    for w in "${wrong[@]}"; do say "FAIL asked: unknown or impossible $w"; done
    say "known scenarios: $(echo $ALL_SCENARIOS)"
    say "FAILED: asked"
    exit 1
fi
# What each asked name prints PASS as (a scenario's vehicles pass one by one).
passes_of() { case "$1" in isotp | sim) echo "${1}_11bit ${1}_29bit" ;; *) echo "$1" ;; esac; }

# --- the packages and the image -----------------------------------------
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64-static >/dev/null ||
    ! command -v mmdebstrap >/dev/null || ! command -v arch-test >/dev/null || [ ! -f /usr/src/linux-source-6.1.tar.xz ] ||
    ! dpkg -s libcjson-dev:arm64 libpaho-mqtt-dev:arm64 libgpiod-dev:arm64 >/dev/null 2>&1; then
    say "installing what the packages and the image need"
    { bash "$src/scripts/install-deps.sh" && bash "$src/scripts/install-deps.sh" --arm64; } >"$out/deps.log" 2>&1 ||
        { tail -20 "$out/deps.log"; say "FAIL dependencies"; exit 1; }
fi
(cd "$src" && scripts/package.sh "$arch") >"$out/package.log" 2>&1 || { tail -20 "$out/package.log"; say "FAIL packaging"; exit 1; }
results=$out/results.txt
# What needs no board: the packages' contents and dependencies, the arguments.
static=package
[ "$arch" = amd64 ] && static="args package"
OBDGW_PKG_ARCHS=$arch "$here/board_test.sh" $static 2>&1 | grep -v '^== board' | sed "s/^FAIL - /FAIL static: /; s/^/board ($arch): /" | tee "$results"
# The arguments are checked on the host's build: without it they were not checked.
[ "$arch" = amd64 ] && [ ! -x "$src/build/default/obd-gateway" ] &&
    say "FAIL static: args: no host build of the daemon (cmake --build --preset default)" | tee -a "$results"
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
if [[ " $scenarios " == *" preload_rules "* ]]; then
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
    if [ -n "$cut" ] && [ -z "$killed" ]; then
        say "FAIL $phase: never cut (the guest $(grep -aq '^BT CUT' "$log" && echo 'ended before the kill' || echo 'never reached the mark')); console in $log"
    elif [ -z "$killed" ] && ! grep -aq "^BT DONE" "$log"; then
        say "FAIL $phase: the guest did not finish; console in $log"
        tr -d '\r' <"$log" | tail -20
    fi
    # Every check asked of this boot said PASS (a FAIL, a stop or a name
    # the guest skipped all leave one missing).
    local n
    for n in $(expected_passes "$phase"); do
        tr -d '\r' <"$log" | grep -aqx "BT PASS $n" || say "FAIL $phase: no PASS from $n"
    done
}
expected_passes() { # PHASE
    local s
    case "$1" in
    install) echo install ;;
    main) echo first_boot; for s in $scenarios; do passes_of "$s"; done ;;
    cut-* | check) echo verify ;;
    purge) echo verify purge ;;
    esac
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
                if [ -z "$w" ]; then
                    say "FAIL cut-$m-$i: no cut window for $m in the main phase's console" | tee -a "$results"
                    continue
                fi
                ms=$(awk -v w="$w" 'BEGIN { srand(); split(w, a, " "); printf "%d", a[1] + rand() * (a[2] - a[1]) }')
                boot "cut-$m-$i" "$ms" | tee -a "$results"
            done
            i=$((i + 1))
        done
    else
        boot "$p" | tee -a "$results"
    fi
done
# The cuts on the ECU information file show both outcomes: one after the
# write with the new file whole, one before it with the old file whole.
# Fewer than 10 cuts may well all fall on one side: counted, not judged.
if [[ " ${phases[*]} " == *" cut "* ]] && [[ " ${moments//,/ } " == *" ecu_info "* ]]; then
    after=$(grep -c ': LANDED ecu_info after new' "$results")
    before=$(grep -c ': LANDED ecu_info before old' "$results")
    if [ "$cuts" -lt 10 ]; then
        say "NOTE cuts on ecu_info not judged ($cuts asked, 10 needed): $before before the write, $after after it"
    elif [ "$after" -eq 0 ] || [ "$before" -eq 0 ]; then
        say "FAIL cut_outcomes: $before cuts before the write with the old file whole, $after after it with the new one (one of each needed)" | tee -a "$results"
    else
        say "PASS cut_outcomes: $before before the write (old file whole), $after after it (new file whole)"
    fi
fi
if grep -q ': FAIL' "$results"; then
    say "FAILED: $(grep -o 'FAIL [a-z0-9_-]*' "$results" | sort -u | cut -d' ' -f2 | tr '\n' ' ')"
    exit 1
fi
say "passed"
