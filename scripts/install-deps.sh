#!/usr/bin/env bash
# Installs obd-gateway's dependencies on Debian 12 (bookworm), by role:
#   (no option)  what building and testing need (scripts/test.sh runs this);
#   --arm64      what the arm64 cross-build and the packages need (no test tools);
#   --runtime    only what the daemon needs on a board (the obd-gateway package
#                pulls the same in by itself).
# Idempotent; run as root.
set -euo pipefail

role=test
case "${1:-}" in
    "") ;;
    --arm64) role=arm64 ;;
    --runtime) role=runtime ;;
    -h | --help)
        sed -n '2,7p' "$0" | cut -c3-
        exit 0
        ;;
    *)
        echo "usage: install-deps.sh [--arm64 | --runtime]" >&2
        exit 2
        ;;
esac

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: run as root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive

# Runs of this script (the test command installs the board's roles while a
# board run may check its own) take turns: apt-get update does not wait for
# the package lists' lock, it fails at once.
mkdir -p /run/lock
exec 8>/run/lock/obdgw-install-deps.lock
flock 8

# Another apt/dpkg run may hold the lock for a while: wait for it.
apt_get() {
    apt-get -o DPkg::Lock::Timeout=600 "$@"
}
# The same for the lists' lock of someone else's apt-get update (10 minutes).
apt_update() {
    local i err
    for i in $(seq 120); do
        if err=$(apt-get update 2>&1 >/dev/null); then return 0; fi
        grep -q 'Could not get lock' <<<"$err" || { echo "$err" >&2; return 1; }
        [ "$i" = 1 ] && echo "install-deps: waiting for another apt-get update" >&2
        sleep 5
    done
    echo "$err" >&2
    return 1
}

# libgpiod 2.x only ships in bookworm-backports; the stock 1.6 has a different API.
backports=/etc/apt/sources.list.d/bookworm-backports.sources
if [ ! -f "$backports" ]; then
    cat >"$backports" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi

if [ "$role" = runtime ]; then
    # The board's broker is the daemon's: it is installed and left running as
    # its package sets it up; nothing here stops, disables or reconfigures it.
    apt_update
    apt_get install -y --no-install-recommends mosquitto libcjson1 libpaho-mqtt1.3 iproute2 sudo
    apt_get install -y --no-install-recommends -t bookworm-backports libgpiod3
    exit 0
fi

if [ "$role" = arm64 ]; then
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    apt_update
    apt_get install -y --no-install-recommends \
        cmake ninja-build make pkg-config dpkg-dev fakeroot file systemd \
        g++-aarch64-linux-gnu qemu-user-static libcjson-dev:arm64 libpaho-mqtt-dev:arm64
    # Multiarch needs the same libgpiod version for both architectures.
    apt_get install -y --no-install-recommends -t bookworm-backports libgpiod-dev libgpiod-dev:arm64
    exit 0
fi

apt_update

# The system broker is installed and left as its package sets it up: every
# test runs its own broker in a private network namespace, so a broker on
# this machine's 1883 is never in the way, and this script neither stops,
# disables nor reconfigures it, nor leaves anything behind that would.
apt_get install -y --no-install-recommends \
    cmake ninja-build g++ make pkg-config git ca-certificates dpkg-dev fakeroot file \
    libcjson-dev libpaho-mqtt-dev libgtest-dev libgmock-dev libbenchmark-dev \
    mosquitto mosquitto-clients systemd \
    iproute2 util-linux procps psmisc python3 valgrind clang-format-14 ccache
# The fuzz preset: clang with libFuzzer and the sanitizers' runtime (only a
# recommendation of clang-14, so named here).
apt_get install -y --no-install-recommends clang-14 libclang-rt-14-dev
# The package install check runs dpkg on a copy of this machine: every runtime
# dependency of the obd-gateway package must be here (sudo is not on minimal images).
apt_get install -y --no-install-recommends sudo
apt_get install -y --no-install-recommends -t bookworm-backports libgpiod-dev

# The board image (tests/board): mmdebstrap makes a Debian 12 system (arm64
# through qemu-user-static and binfmt_misc; arch-test, which mmdebstrap only
# suggests, is what lets it build for another architecture), QEMU boots it with Debian's
# kernel; gpio-sim is built from the kernel's source against its headers
# (the arm64 headers are unpacked by tests/board/image.sh).
apt_get install -y --no-install-recommends \
    qemu-system-x86 qemu-system-arm qemu-utils qemu-user-static binfmt-support mmdebstrap arch-test e2fsprogs \
    linux-source-6.1 linux-headers-amd64 bc

ver=$(pkg-config --modversion libgpiod)
case "$ver" in
    2.*) echo "install-deps: libgpiod $ver" ;;
    *) echo "install-deps: libgpiod $ver is not 2.x" >&2; exit 1 ;;
esac
