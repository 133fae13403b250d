#!/usr/bin/env bash
# The board in a box, built once per architecture and cached in
# OBDGW_BOARD_CACHE/<arch>/<key>/ (/var/cache/obdgw-board):
# - root/: Debian 12 made by mmdebstrap (arm64 through qemu-user-static and
#   binfmt_misc), systemd as init, journald persistent, the system mosquitto,
#   iproute2, sudo, can-utils, every runtime library of the obd-gateway
#   packages (the guest has no network: apt installs the .deb offline), and
#   Debian's kernel with its modules; vmlinuz and initrd.img beside it;
# - gpio-sim.ko: the kernel's gpio-sim and irq_sim, which Debian does not
#   build, from linux-source-6.1 against that kernel's headers;
# - rootfs-<units>.img: root/ as 2 GiB of ext4 with the bench's units
#   (guest/units) added, made again (in seconds) when they change.
# The key is a hash of the system's recipe and the kernel version.
# Prints the disk image's path.
#   tests/board/image.sh --arch amd64|arm64
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
arch=amd64
[ "${1:-}" = --arch ] && arch=$2
case "$arch" in
amd64) cross= kernel_arch=x86 ;;
arm64) cross=aarch64-linux-gnu- kernel_arch=arm64 ;;
*) echo "image.sh: unknown arch $arch" >&2; exit 2 ;;
esac
log() { echo "board image ($arch): $*" >&2; }

# The kernel the headers and the source are for: the one linux-image-<arch> points at.
kpkg=$(apt-cache depends "linux-image-$arch:$arch" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p' | head -1)
[ -n "$kpkg" ] || { log "no linux-image-$arch in the package lists (apt-get update?)"; exit 1; }
kver=${kpkg#linux-image-}
kabi=${kver%-"$arch"}

# --- the recipe ------------------------------------------------------------
sources="deb http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
deb http://deb.debian.org/debian bookworm-backports main"
# What the board has before the package comes: its runtime libraries
# (libgpiod 2 from backports) and the bench's tools.
pkgs=systemd,systemd-sysv,udev,kmod,dbus,procps,iproute2,sudo,can-utils,mosquitto,mosquitto-clients
pkgs=$pkgs,libcjson1,libpaho-mqtt1.3,libgpiod3/bookworm-backports,initramfs-tools,$kpkg
# A small initramfs: only what finds the root disk.
essential_hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/usr/share/initramfs-tools/modules.d"
    printf "MODULES=list\nCOMPRESS=gzip\n" >"$1/etc/initramfs-tools/conf.d/board"
    printf "virtio_pci\nvirtio_blk\next4\n" >"$1/usr/share/initramfs-tools/modules.d/board"'
# Persistent journal, root without password on the console, nothing that
# wakes up on a timer or wants a network.
customize_hook='echo board >"$1/etc/hostname"
    mkdir -p "$1/var/log/journal"
    chroot "$1" passwd -d root >/dev/null
    rm -f "$1/etc/resolv.conf"
    systemctl --root="$1" mask systemd-timesyncd.service apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer 2>/dev/null || true
    cp "$1"/boot/vmlinuz-* "$1"/boot/initrd.img-* "$OBDGW_IMG_WORK/"'
key=$(printf '%s\n' "$sources" "$pkgs" "$essential_hook" "$customize_hook" | sha256sum | cut -c1-12)-$kver

root=${OBDGW_BOARD_CACHE:-/var/cache/obdgw-board}
dir=$root/$arch/$key
units=$(cat "$here"/guest/units/* | sha256sum | cut -c1-12)
disk=$dir/rootfs-$units.img
if [ -f "$disk" ] && [ -f "$dir/gpio-sim.ko" ]; then echo "$disk"; exit 0; fi

mkdir -p "$root/$arch"
exec 9>"$root/$arch/.lock"
flock 9 # runs of several users share the cache: one builds at a time
work=$(mktemp -d "$root/$arch/build.XXXXXX")
trap 'cp "$work"/*.log "$root/$arch/" 2>/dev/null || true; rm -rf "$work"' EXIT
t0=$(date +%s)

# --- the system ----------------------------------------------------------
if [ ! -f "$dir/.done" ]; then
    find "$root/$arch" -mindepth 1 -maxdepth 1 -type d ! -name "${work##*/}" -exec rm -rf {} + # older keys
    mkdir -p "$dir"
    if [ "$arch" = arm64 ]; then
        [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64 ||
            { log "cannot register qemu-aarch64 with binfmt_misc"; exit 1; }
    fi
    log "mmdebstrap (kernel $kver)"
    OBDGW_IMG_WORK=$work mmdebstrap --mode=root --variant=apt --architectures="$arch" --include="$pkgs" \
        --essential-hook="$essential_hook" --customize-hook="$customize_hook" \
        bookworm "$work/root" "$sources" >"$work/mmdebstrap.log" 2>&1 ||
        { tail -30 "$work/mmdebstrap.log" >&2; log "mmdebstrap failed"; exit 1; }
    log "mmdebstrap took $(($(date +%s) - t0)) s"
    mv "$work"/vmlinuz-* "$dir/vmlinuz"
    mv "$work"/initrd.img-* "$dir/initrd.img"
    mv "$work/root" "$dir/root"
    echo "$kver" >"$dir/kernel"
    touch "$dir/.done"
fi

# --- gpio-sim ------------------------------------------------------------
if [ ! -f "$dir/gpio-sim.ko" ]; then
    # The headers of that kernel: installed for this machine's architecture,
    # unpacked for another (the -common headers and kbuild are shared).
    kbuild=linux-kbuild-${kabi%.*}
    hdr=/usr/src/linux-headers-$kver
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        [ -d "$hdr" ] || apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "linux-headers-$kver" >/dev/null
    else
        [ -d "/usr/src/linux-headers-$kabi-common" ] && [ -d "/usr/lib/$kbuild" ] ||
            apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "linux-headers-$kabi-common" "$kbuild" >/dev/null
        (cd "$work" && apt-get -o APT::Sandbox::User=root download "linux-headers-$kver:$arch" >/dev/null)
        dpkg-deb -x "$work"/linux-headers-"$kver"_*.deb "$work/hdr"
        hdr=$work/hdr/usr/src/linux-headers-$kver
        # Its relative links point at the -common headers and kbuild.
        mkdir -p "$work/hdr/usr/lib"
        ln -s "/usr/lib/$kbuild" "$work/hdr/usr/lib/"
        ln -s "/usr/src/linux-headers-$kabi-common" "$work/hdr/usr/src/"
    fi
    [ -f /usr/src/linux-source-6.1.tar.xz ] || apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends linux-source-6.1 >/dev/null
    m=$work/gpio-sim
    mkdir -p "$m"
    tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$m" --strip-components=3 --wildcards \
        '*/drivers/gpio/gpio-sim.c' '*/drivers/gpio/gpiolib.h' '*/kernel/irq/irq_sim.c'
    # irq_to_desc is not exported to modules; generic_handle_irq does the same there.
    grep -q 'handle_simple_irq(irq_to_desc(irqnum))' "$m/irq_sim.c" ||
        { log "irq_sim.c of linux-source-6.1 no longer has the call this build changes"; exit 1; }
    sed -i 's/handle_simple_irq(irq_to_desc(irqnum))/generic_handle_irq(irqnum)/' "$m/irq_sim.c"
    printf 'obj-m := gpio-sim-bench.o\ngpio-sim-bench-y := gpio-sim.o irq_sim.o\n' >"$m/Kbuild"
    make -s -C "$hdr" M="$m" ARCH="$kernel_arch" ${cross:+CROSS_COMPILE=$cross} modules >"$work/kbuild.log" 2>&1 ||
        { tail -30 "$work/kbuild.log" >&2; log "gpio-sim did not build"; exit 1; }
    cp "$m/gpio-sim-bench.ko" "$dir/gpio-sim.ko"
fi

# --- the disk: the bench's units on top of the system --------------------
if [ ! -f "$disk" ]; then
    rm -f "$dir"/rootfs-*.img
    mkdir -p "$work/units/etc/systemd/system/multi-user.target.wants" "$work/units/bench"
    cp "$here"/guest/units/*.service "$work/units/etc/systemd/system/"
    cp "$here"/guest/units/fstab "$here"/guest/units/hosts "$work/units/etc/"
    for u in "$here"/guest/units/*.service; do
        ln -s "/etc/systemd/system/${u##*/}" "$work/units/etc/systemd/system/multi-user.target.wants/${u##*/}"
    done
    cp -a "$work/units"/. "$dir/root/"
    # mke2fs -d fills the file system from the tree: no loop device needed.
    mke2fs -q -t ext4 -L board -d "$dir/root" "$disk.tmp" 2G >/dev/null && mv "$disk.tmp" "$disk"
fi
log "ready in $(($(date +%s) - t0)) s"
echo "$disk"
