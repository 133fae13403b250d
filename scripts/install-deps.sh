#!/usr/bin/env bash
# Installs everything needed to build and test obd-gateway on Debian 12 (bookworm).
# Idempotent: safe to run again; run as root.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: run as root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive

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

apt-get update

# Keep mosquitto's package scripts from starting a system broker on 1883:
# every test starts its own broker in a private network namespace.
policy=/usr/sbin/policy-rc.d
created_policy=0
if ! dpkg -s mosquitto >/dev/null 2>&1 && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod +x "$policy"
    created_policy=1
fi

apt-get install -y --no-install-recommends \
    cmake ninja-build g++ make pkg-config git ca-certificates \
    libcjson-dev libpaho-mqtt-dev libgtest-dev libgmock-dev libbenchmark-dev \
    mosquitto mosquitto-clients \
    iproute2 util-linux procps psmisc python3 valgrind
apt-get install -y --no-install-recommends -t bookworm-backports libgpiod-dev

# Kernel scenarios (tests/kernel): QEMU boots a Debian kernel with CAN modules.
apt-get install -y --no-install-recommends \
    qemu-system-x86 qemu-system-arm busybox-static can-utils cpio

if [ "$created_policy" -eq 1 ]; then
    rm -f "$policy"
fi

# A broker that got started anyway (an older install, systemd) must not hold the port.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet mosquitto 2>/dev/null; then
    systemctl stop mosquitto || true
    systemctl disable mosquitto >/dev/null 2>&1 || true
fi
pkill -x mosquitto 2>/dev/null || true

ver=$(pkg-config --modversion libgpiod)
case "$ver" in
    2.*) echo "install-deps: libgpiod $ver" ;;
    *) echo "install-deps: libgpiod $ver is not 2.x" >&2; exit 1 ;;
esac
