#!/usr/bin/env bash
# Checks of what goes onto the board: the daemon's arguments and trace
# buffering, the Debian packages (contents, dependencies, install, upgrade,
# purge), the service unit, and the arm64 build under qemu.
# Usage: board_test.sh [section...]   sections: args trace package unit install arm64 (default: all)
# Needs root (namespaces, chroot). OBDGW_BUILD_DIR: the host build (default build/default),
# OBDGW_PKG_DIR: where scripts/package.sh put the .deb files (default build/packages).
set -uo pipefail
cd "$(dirname "$0")/../.."
src=$PWD
build=${OBDGW_BUILD_DIR:-$src/build/default}
pkgdir=${OBDGW_PKG_DIR:-$src/build/packages}
failures=0
ok() { echo "ok   - $*"; }
fail() {
    echo "FAIL - $*"
    failures=$((failures + 1))
}
check() { # description, command...
    local what=$1
    shift
    if "$@"; then ok "$what"; else fail "$what"; fi
}

# Runs a command in private network and mount namespaces with an empty /opt,
# the stand-in GPIO chips and the preload bus (its `ip link` log instead of sudo).
in_sandbox() {
    unshare --net --mount -- sh -c '
        ip link set lo up && mount --make-rprivate / && mount -t tmpfs tmpfs /opt || exit 99
        export LD_PRELOAD="$B/tools/can_preload/libobdsim_can_preload.so:$B/tools/fake_gpiod/libfake_gpiod_preload.so"
        export OBDSIM_BUS=/opt/no-bus OBDSIM_IP_LOG=/opt/ip-link.log FAKE_GPIOD_STATE_FILE=/opt/gpio-lines.txt
        eval "$1"' sandbox "$1"
}
export B=$build

section_args() {
    local gw=$build/obd-gateway
    # argument, expected exit status, stream the usage/version goes to, text in it
    local cases=(
        "--help|0|out|Usage: obd-gateway"
        "--version|0|out|obd-gateway [0-9]"
        "-h|2|err|Usage: obd-gateway"
        "--help --version|2|err|Usage: obd-gateway"
        "config.json|2|err|Usage: obd-gateway"
    )
    local c arg rc stream text
    for c in "${cases[@]}"; do
        IFS='|' read -r arg rc stream text <<<"$c"
        local res
        # shellcheck disable=SC2016
        res=$(GW=$gw ARGS=$arg in_sandbox '
            timeout -s KILL 5 "$GW" $ARGS >/opt/.out 2>/opt/.err; echo "rc=$?"
            echo "files=$(cd /opt && ls -A | grep -v "^\.out$\|^\.err$" | tr "\n" " ")"
            echo "out:$(head -c 200 /opt/.out | head -n1)"; echo "err:$(head -c 200 /opt/.err | head -n1)"')
        local other=out
        [ "$stream" = out ] && other=err
        if grep -qx "rc=$rc" <<<"$res" && grep -qx "files=" <<<"$res" &&
            grep -q "^$stream:$text" <<<"$res" && grep -qx "$other:" <<<"$res"; then
            ok "obd-gateway $arg: exit $rc, $stream, nothing touched"
        else
            fail "obd-gateway $arg: $(tr '\n' ' ' <<<"$res")"
        fi
    done
}

# With no configuration and no broker the workers trace about once a second
# and never exit: a line must reach a pipe while the daemon runs.
section_trace() {
    # shellcheck disable=SC2016
    export GW=$build/obd-gateway
    check "trace line reaches a pipe while the daemon runs" in_sandbox '
        mkfifo /opt/pipe && { "$GW" >/opt/pipe 2>/dev/null & pid=$!; }
        timeout 8 grep -m1 -q "^OBD2_ERROR : Error while parsing json.$" </opt/pipe; rc=$?
        kill $pid 2>/dev/null; wait $pid 2>/dev/null; exit $rc'
}

deb() { ls "$pkgdir/$1"_*_"$2".deb 2>/dev/null | sort -V | tail -n1; }

# What each package holds (directories left out), per architecture.
section_package() {
    local arch name want got
    local gateway_files="/etc/mosquitto/conf.d/obd-gateway.conf /lib/systemd/system/obd-gateway.service
        /opt/vyr/configs/default_config/default_config.json /usr/bin/obd-gateway"
    local tools_files="/usr/bin/obd-vehicle-sim /usr/lib/obd-gateway-tools/libobdsim_can_preload.so
        /usr/share/obd-gateway-tools/vehicles/awkward_two_ecus.json
        /usr/share/obd-gateway-tools/vehicles/diesel_29bit.json
        /usr/share/obd-gateway-tools/vehicles/petrol_11bit.json"
    for arch in amd64 arm64; do
        for name in obd-gateway obd-gateway-tools; do
            local f
            f=$(deb "$name" "$arch")
            [ -n "$f" ] || { fail "$name $arch: no package in $pkgdir (scripts/package.sh)"; continue; }
            want=$gateway_files
            [ "$name" = obd-gateway-tools ] && want=$tools_files
            got=$(dpkg-deb -c "$f" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' | sort | tr '\n' ' ')
            want=$(tr -s ' \n' '\n' <<<"$want" | grep . | sort | tr '\n' ' ')
            check "$name $arch: contents" test "$got" = "$want"
            check "$name $arch: architecture" test "$(dpkg-deb -f "$f" Architecture)" = "$arch"
            # Every library the binaries link is a dependency (dpkg-shlibdeps decides for the
            # architecture), and the daemon's programs and broker are too.
            local x depends missing=""
            x=$(mktemp -d)
            dpkg-deb -x "$f" "$x"
            mkdir -p "$x/debian" && printf 'Source: x\n\nPackage: x\nArchitecture: any\n' >"$x/debian/control"
            local triplet=x86_64-linux-gnu
            [ "$arch" = arm64 ] && triplet=aarch64-linux-gnu
            local libs
            libs=$(cd "$x" && DEB_HOST_ARCH=$arch DEB_HOST_GNU_TYPE=$triplet DEB_HOST_MULTIARCH=$triplet \
                dpkg-shlibdeps -O $(find usr -type f \( -perm -u+x -o -name '*.so' \) -printf '-e%p ') 2>/dev/null |
                sed -n 's/^shlibs:Depends=//p' | tr ',' '\n' | awk '{print $1}')
            depends=$(dpkg-deb -f "$f" Depends | tr ',' '\n' | awk '{print $1}')
            [ "$name" = obd-gateway ] && libs="$libs mosquitto iproute2 sudo"
            for l in $libs; do grep -qx "$l" <<<"$depends" || missing="$missing $l"; done
            check "$name $arch: Depends covers $(echo $libs | tr '\n' ' ')${missing:+ (missing:$missing)}" \
                test -n "$libs" -a -z "$missing"
            if [ "$name" = obd-gateway ]; then
                check "obd-gateway $arch: broker drop-in sets only set_tcp_nodelay" test \
                    "$(grep -v '^#' "$x/etc/mosquitto/conf.d/obd-gateway.conf" | grep .)" = "set_tcp_nodelay true"
                check "obd-gateway $arch: drop-in is a conffile" test \
                    "$(dpkg-deb -I "$f" conffiles)" = /etc/mosquitto/conf.d/obd-gateway.conf
            fi
            rm -rf "$x"
        done
    done
}

section_unit() {
    local u=$src/packaging/obd-gateway.service line
    for line in After=mosquitto.service Wants=mosquitto.service ExecStart=/usr/bin/obd-gateway Restart=always \
        SyslogIdentifier=obd-gateway StandardOutput=journal WantedBy=multi-user.target; do
        check "unit: $line" grep -q "^${line%%=*}=.*${line#*=}" "$u"
    done
}

# Install, start, upgrade with the user's configuration kept, remove and purge,
# in a copy-on-write view of this machine (overlay on /, own namespaces): the
# machine's own package database and files are never changed.
section_install() {
    local gw tools t
    gw=$(deb obd-gateway amd64)
    tools=$(deb obd-gateway-tools amd64)
    [ -n "$gw" ] && [ -n "$tools" ] || { fail "install: no amd64 packages in $pkgdir"; return; }
    t=$(mktemp -d /dev/shm/obdgw-install.XXXXXX)
    mkdir -p "$t/upper" "$t/work" "$t/root"
    # The next version: the same package with a new number and another factory copy.
    local x=$t/repack
    dpkg-deb -R "$gw" "$x"
    sed -i 's/^Version: .*/Version: 99.0.0-1/' "$x/DEBIAN/control"
    sed -i 's/"BR": *500000/"BR": 250000/' "$x/opt/vyr/configs/default_config/default_config.json"
    dpkg-deb -b "$x" "$t/next.deb" >/dev/null
    cp "$gw" "$t/first.deb" && cp "$tools" "$t/tools.deb"
    # The container's /tmp is its own: what it runs from the tree goes in with the packages.
    cp "$src/tests/board/install_scenario.sh" "$src/tests/board/startup_smoke.sh" \
        "$build/tools/fake_gpiod/libfake_gpiod_preload.so" "$t/"
    local out
    out=$(unshare --net --mount --pid --fork -- sh -c '
        t=$1
        mount --make-rprivate / && ip link set lo up &&
            mount -t overlay overlay -o "lowerdir=/,upperdir=$t/upper,workdir=$t/work" "$t/root" &&
            mount --rbind /dev "$t/root/dev" && mount -t proc proc "$t/root/proc" &&
            mount -t tmpfs tmpfs "$t/root/run" && mount -t tmpfs tmpfs "$t/root/tmp" &&
            mkdir -p "$t/root/tmp/debs" && mount --bind "$t" "$t/root/tmp/debs" || exit 99
        exec chroot "$t/root" /bin/bash /tmp/debs/install_scenario.sh /tmp/debs /tmp/debs/libfake_gpiod_preload.so' \
        sandbox "$t" 2>&1)
    local rc=$?
    echo "$out" | sed 's/^/    /'
    grep -q '^FAIL' <<<"$out" && rc=1
    check "install, start, upgrade, remove, purge in a container" test "$rc" -eq 0
    rm -rf "$t"
}

# The cross-built daemon and simulator under qemu-aarch64 with the arm64
# libraries: arguments and the start-up scenario.
section_arm64() {
    local a=${OBDGW_ARM64_BUILD_DIR:-$src/build/arm64}
    local q
    q=$(command -v qemu-aarch64-static || command -v qemu-aarch64) || { fail "arm64: no qemu-aarch64"; return; }
    [ -x "$a/obd-gateway" ] || { fail "arm64: no build in $a (cmake --preset arm64)"; return; }
    check "arm64: obd-gateway --version under qemu" sh -c "'$q' '$a/obd-gateway' --version | grep -q '^obd-gateway '"
    check "arm64: obd-gateway -x under qemu exits 2" sh -c "'$q' '$a/obd-gateway' -x 2>/dev/null; test \$? -eq 2"
    export Q=$q A=$a S=$src
    # shellcheck disable=SC2016
    check "arm64: start-up scenario under qemu (GOTINFO, GOTPID, SAVSUC)" in_sandbox '
        mkdir -p /opt/vyr/configs/default_config
        cp "$S/config/default_config.json" /opt/vyr/configs/default_config/
        mosquitto -p 1883 >/dev/null 2>&1 & m=$!
        unset LD_PRELOAD
        "$S/tests/board/startup_smoke.sh" /opt/smoke "$Q $A/obd-gateway" "$Q $A/tools/vehicle_sim_cli/obd-vehicle-sim" \
            "$S/tools/vehicles/petrol_11bit.json" \
            "$A/tools/can_preload/libobdsim_can_preload.so:$A/tools/fake_gpiod/libfake_gpiod_preload.so"
        rc=$?; kill $m; exit $rc'
}

sections=${*:-"args trace package unit install arm64"}
for s in $sections; do
    echo "== board: $s"
    "section_$s"
done
[ "$failures" -eq 0 ] && echo "== board: all passed" || echo "== board: $failures failed"
[ "$failures" -eq 0 ]
