#!/usr/bin/env bash
# Kernel scenarios: the unchanged obd-gateway on a vcan can0 of a real Debian
# kernel booted under QEMU, against obd-vehicle-sim --can and against ECUs on
# the kernel's own ISO-TP sockets. The guest is an initramfs made here
# (busybox, the kernel's CAN modules, mosquitto, can-utils, iproute2, the
# programs under test); results come back on the serial console.
#
#   tests/kernel/run.sh [--arch amd64|arm64] [--build DIR] [--out DIR] [SCENARIO...]
#
# Exit 0 when every scenario passed, 1 when one failed, 77 when QEMU or the
# kernel cannot be had here (one line says why). On failure the candump trace
# and the logs of each failed scenario are kept under OUT/artefacts/.
# Kernel packages are cached in OBDGW_KERNEL_CACHE (/var/cache/obdgw-kernel).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)

arch=amd64
build=
out=
scenarios=()
while [ $# -gt 0 ]; do
    case "$1" in
    --arch) arch=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h | --help) sed -n '2,13p' "$0"; exit 0 ;;
    *) scenarios+=("$1"); shift ;;
    esac
done
case "$arch" in
amd64) triplet=x86_64-linux-gnu qemu=qemu-system-x86_64 qpkg=qemu-system-x86 console=ttyS0 preset=default ;;
arm64) triplet=aarch64-linux-gnu qemu=qemu-system-aarch64 qpkg=qemu-system-arm console=ttyAMA0 preset=arm64 ;;
*) echo "run.sh: unknown arch $arch" >&2; exit 2 ;;
esac
build=${build:-$src/build/$preset}
out=${out:-$build/kernel}
cache=${OBDGW_KERNEL_CACHE:-/var/cache/obdgw-kernel}/$arch
skip() { echo "kernel scenarios ($arch): SKIPPED: $*"; exit 77; }

# --- what the host needs -------------------------------------------------
apt_install() {
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" >/dev/null 2>&1 && return 0
        sleep 6 # another apt holds the dpkg lock
    done
    return 1
}
need=()
command -v "$qemu" >/dev/null || need+=("$qpkg")
[ -x /bin/busybox ] && ! readelf -l /bin/busybox 2>/dev/null | grep -q interpreter || need+=(busybox-static)
command -v candump >/dev/null || need+=(can-utils)
command -v cpio >/dev/null || need+=(cpio)
if [ ${#need[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || skip "missing ${need[*]} (install as root: scripts/install-deps.sh)"
    apt_install "${need[@]}" || skip "could not install ${need[*]}"
fi

# --- the kernel and its CAN modules, cached outside the tree -------------
mods="net/can/can.ko net/can/can-raw.ko net/can/can-isotp.ko drivers/net/can/dev/can-dev.ko drivers/net/can/vcan.ko"
fetch_kernel() {
    mkdir -p "$cache"
    local pkg deb
    pkg=$(apt-cache depends "linux-image-$arch:$arch" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
    pkg=${pkg%:*}
    [ -n "$pkg" ] || return 1
    deb=$(ls "$cache"/"${pkg}"_*.deb 2>/dev/null | head -1 || true)
    if [ -z "$deb" ]; then
        rm -rf "$cache"/*.deb "$cache/root"
        (cd "$cache" && apt-get download "$pkg:$arch" >/dev/null 2>&1) || return 1
        deb=$(ls "$cache"/"${pkg}"_*.deb | head -1)
    fi
    if [ ! -f "$cache/root/.done" ] || [ "$cache/root/.done" -ot "$deb" ]; then
        rm -rf "$cache/root" && mkdir -p "$cache/root"
        dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$cache/root" --wildcards './boot/vmlinuz-*' \
            $(for m in $mods; do echo "./lib/modules/*/kernel/$m"; done)
        touch "$cache/root/.done"
    fi
}
# Runs of several users share the cache: one fills it at a time.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
fetch_kernel || skip "no Debian kernel package for $arch (apt-get download linux-image-$arch failed)"
kernel=$(ls "$cache"/root/boot/vmlinuz-* | head -1)

# --- the programs under test ---------------------------------------------
progs="obd-gateway tools/vehicle_sim_cli/obd-vehicle-sim tools/isotp_ecu/obd-isotp-ecu"
# The arm64 preset is not part of the test presets: build what the guest runs.
if [ "$build" = "$src/build/$preset" ] && [ "$preset" != default ] &&
    cmake --list-presets 2>/dev/null | grep -q "\"$preset\""; then
    (cd "$src" && cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" --target obd-gateway obd-vehicle-sim obd-isotp-ecu >/dev/null) ||
        skip "the $preset preset does not build here (scripts/install-deps.sh --arm64?)"
fi
for b in $progs; do
    [ -x "$build/$b" ] || skip "$build/$b not built (build the $preset preset first)"
done

# Programs for the guest come from the host (amd64), or from the arm64
# packages (downloaded once into the cache) unpacked into a sysroot of this
# run (arm64).
sysroot=
arm64_pkg() {
    local p deb
    for p in "$@"; do
        deb=$(ls "$cache/debs/${p}"_*.deb 2>/dev/null | head -1 || true)
        if [ -z "$deb" ]; then
            mkdir -p "$cache/debs"
            (cd "$cache/debs" && apt-get download "$p:arm64" >/dev/null 2>&1) || return 1
            deb=$(ls "$cache/debs/${p}"_*.deb | head -1)
        fi
        dpkg-deb -x "$deb" "$sysroot"
    done
}
# The arm64 package holding a library: the one whose amd64 twin holds it here.
arm64_lib_pkg() {
    { dpkg -S "/usr/lib/x86_64-linux-gnu/$1" "/lib/x86_64-linux-gnu/$1" 2>/dev/null || true; } | head -1 | cut -d: -f1
}
if [ "$arch" = arm64 ]; then
    sysroot=$out/sysroot
    rm -rf "$sysroot" && mkdir -p "$sysroot"
    arm64_pkg libc6 busybox-static mosquitto mosquitto-clients can-utils iproute2 ||
        skip "could not download the arm64 packages of mosquitto, can-utils, iproute2, busybox"
fi

root=$out/rootfs
rm -rf "$root" && mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,tmp,run,lib/modules,opt/vyr/configs/default_config,kt}

# Copies an ELF program and, recursively, the shared libraries it needs.
declare -A copied=()
copy_elf() {
    local f=$1 dest=$2 lib dir found
    [ -n "${copied[$dest]:-}" ] && return 0
    copied[$dest]=1
    mkdir -p "$root$(dirname "$dest")"
    cp -L "$f" "$root$dest"
    local interp
    interp=$(readelf -l "$f" 2>/dev/null | sed -n 's/.*interpreter: \(.*\)]/\1/p')
    if [ -n "$interp" ] && [ -z "${copied[$interp]:-}" ]; then
        copied[$interp]=1
        mkdir -p "$root$(dirname "$interp")"
        cp -L "$sysroot$interp" "$root$interp"
    fi
    for lib in $(readelf -d "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        found=
        for dir in /lib/$triplet /usr/lib/$triplet /lib /usr/lib; do
            if [ -e "$sysroot$dir/$lib" ]; then found=$dir/$lib; break; fi
        done
        if [ -z "$found" ] && [ -n "$sysroot" ]; then
            local pkg
            pkg=$(arm64_lib_pkg "$lib")
            [ -n "$pkg" ] && arm64_pkg "$pkg" || true
            for dir in /lib/$triplet /usr/lib/$triplet; do
                if [ -e "$sysroot$dir/$lib" ]; then found=$dir/$lib; break; fi
            done
        fi
        [ -n "$found" ] || { echo "run.sh: $lib (needed by $f) not found" >&2; exit 2; }
        copy_elf "$sysroot$found" "$found"
    done
}
bb=/bin/busybox
[ "$arch" = arm64 ] && bb=$sysroot/bin/busybox
cp "$bb" "$root/bin/busybox"
for p in /usr/sbin/mosquitto /usr/bin/mosquitto_pub /usr/bin/mosquitto_sub /usr/bin/candump /usr/bin/cansend /bin/ip; do
    copy_elf "$sysroot$p" "/usr/$(basename "$(dirname "$p")")/$(basename "$p")"
done
copy_elf "$build/obd-gateway" /usr/bin/obd-gateway
copy_elf "$build/tools/vehicle_sim_cli/obd-vehicle-sim" /usr/bin/obd-vehicle-sim
copy_elf "$build/tools/isotp_ecu/obd-isotp-ecu" /usr/bin/obd-isotp-ecu
# The preload library's rule tests, run in the guest against the kernel.
if [ -x "$build/tests/can_preload_test" ]; then
    copy_elf "$build/tests/can_preload_test" /kt/build/tests/can_preload_test
    copy_elf "$build/tools/can_preload/obdsim-can-probe" /kt/build/tools/can_preload/obdsim-can-probe
    copy_elf "$build/tests/can-init-repeat" /kt/build/tests/can-init-repeat
    copy_elf "$build/tools/vehicle_sim_cli/obd-vehicle-sim" /kt/build/tools/vehicle_sim_cli/obd-vehicle-sim
    cp "$build/tools/can_preload/libobdsim_can_preload.so" "$root/kt/build/tools/can_preload/"
    mkdir -p "$root/kt/src/tools/vehicles"
    cp "$src/tools/vehicles/petrol_11bit.json" "$root/kt/src/tools/vehicles/"
fi
for m in $mods; do cp "$cache"/root/lib/modules/*/kernel/$m "$root/lib/modules/"; done
cp "$src/config/default_config.json" "$root/opt/vyr/configs/default_config/"
cp "$src/config/default_config.json" "$root/opt/vyr/configs/config.json"
cp "$src"/tests/e2e/vehicles/full_*.json "$here"/vehicles/*.json "$root/kt/"
cp "$here"/expected/* "$root/kt/" 2>/dev/null || true
cp "$here/guest/init" "$root/init"
cp "$here/guest/scenarios.sh" "$root/kt/"
chmod +x "$root/init"
echo "root:x:0:0:root:/root:/bin/sh" >"$root/etc/passwd"
echo "root:x:0:" >"$root/etc/group"

exec 9>&-

initrd=$out/initrd.cpio
(cd "$root" && find . | cpio -o -H newc --quiet) >"$initrd"

# --- boot ------------------------------------------------------------------
accel=${OBDGW_KERNEL_ACCEL:-tcg}
if [ "$arch" = amd64 ]; then
    machine=(-M q35 -cpu max)
else
    machine=(-M virt -cpu cortex-a57)
fi
console_log=$out/console.log
rm -rf "$out/artefacts"
start=$(date +%s.%N)
set +e
timeout 420 "$qemu" "${machine[@]}" -accel "$accel" -smp 1 -m 768M -nographic -no-reboot \
    -kernel "$kernel" -initrd "$initrd" -nic none \
    -append "console=$console quiet panic=-1 rdinit=/init obdgw_scenarios=$(IFS=,; echo "${scenarios[*]}")" \
    </dev/null >"$console_log" 2>&1
qrc=$?
set -e
end=$(date +%s.%N)
# The firmware clears the screen before the kernel speaks: drop its escapes.
sed -e 's/\r//g' -e 's/\x1bc//g' -e 's/\x1b\[[0-9;?]*[a-zA-Z]//g' "$console_log" >"$console_log.txt"
mv "$console_log.txt" "$console_log"

# Artefacts come back framed on the console: "KT-FILE name" ... "KT-END".
awk -v dir="$out/artefacts" '
    /^KT-FILE / { f = dir "/" $2; system("mkdir -p \"$(dirname " f ")\""); next }
    /^KT-END$/ { if (f) close(f); f = ""; next }
    f { print > f }
' "$console_log"

grep -E '^KT (PASS|FAIL|NOTE|TIME)' "$console_log" | sed "s/^KT /kernel ($arch): /" || true
awk -v a="$arch" -v s="$start" -v e="$end" -v x="$accel" 'BEGIN { printf "kernel (%s): QEMU ran %.1f s (accel %s)\n", a, e - s, x }'
if grep -q '^KT FAIL' "$console_log"; then
    echo "kernel ($arch): artefacts in $out/artefacts"
    exit 1
fi
if ! grep -q '^KT DONE' "$console_log"; then
    echo "kernel ($arch): the guest did not finish (QEMU status $qrc); console in $console_log"
    tail -20 "$console_log"
    exit 1
fi
exit 0
