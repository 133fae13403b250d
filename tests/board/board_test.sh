#!/usr/bin/env bash
# Checks of what goes onto the board that need no board: the daemon's
# arguments, and the Debian packages' contents and dependencies (run.sh
# installs them on the board image).
# Usage: board_test.sh [section...]   sections: args package (default: both)
# Needs root (namespaces). OBDGW_BUILD_DIR: the host build (default build/default),
# OBDGW_PKG_DIR: where scripts/package.sh put the .deb files (default build/packages),
# OBDGW_PKG_ARCHS: the architectures whose packages are checked (default amd64 arm64).
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

deb() { ls "$pkgdir/$1"_*_"$2".deb 2>/dev/null | sort -V | tail -n1; }

# What each package holds (directories left out), per architecture.
section_package() {
    local arch name want got
    local gateway_files="/etc/mosquitto/conf.d/obd-gateway.conf /lib/systemd/system/obd-gateway.service
        /opt/vyr/configs/default_config/default_config.json /usr/bin/obd-gateway /usr/share/obd-gateway/sudoers
        /usr/share/obd-gateway/sudo.conf /usr/bin/obd-gateway-cli /usr/share/man/man1/obd-gateway-cli.1.gz"
    local tools_files="/usr/bin/obd-vehicle-sim /usr/bin/obd-isotp-ecu /usr/lib/obd-gateway-tools/libobdsim_can_preload.so
        /usr/share/obd-gateway-tools/vehicles/awkward_two_ecus.json
        /usr/share/obd-gateway-tools/vehicles/diesel_29bit.json
        /usr/share/obd-gateway-tools/vehicles/hybrid_2027_uds.json
        /usr/share/obd-gateway-tools/vehicles/petrol_11bit.json"
    for arch in ${OBDGW_PKG_ARCHS:-amd64 arm64}; do
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
                check "obd-gateway $arch: the sandbox's sudoers parses, mode 0400" sh -c \
                    "visudo -cqf '$x/usr/share/obd-gateway/sudoers' && test \$(stat -c %a '$x/usr/share/obd-gateway/sudoers') = 400"
                # gzip -9n: no file name (flag 08) or time stamp in the header; man renders it silently.
                check "obd-gateway $arch: man page packed with gzip -9n, renders without warnings" test \
                    "$(od -An -tx1 -j3 -N5 "$x/usr/share/man/man1/obd-gateway-cli.1.gz" | tr -d ' ')" = 0000000000 -a \
                    -z "$(LC_ALL=C.UTF-8 man --warnings -l "$x/usr/share/man/man1/obd-gateway-cli.1.gz" 2>&1 >/dev/null)"
                check "obd-gateway $arch: drop-in is a conffile" test \
                    "$(dpkg-deb -I "$f" conffiles)" = /etc/mosquitto/conf.d/obd-gateway.conf
            fi
            rm -rf "$x"
        done
    done
}

sections=${*:-"args package"}
for s in $sections; do
    echo "== board: $s"
    "section_$s"
done
[ "$failures" -eq 0 ] && echo "== board: all passed" || echo "== board: $failures failed"
[ "$failures" -eq 0 ]
