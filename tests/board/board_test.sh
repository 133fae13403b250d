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

sections=${*:-"args trace package unit install arm64"}
for s in $sections; do
    echo "== board: $s"
    "section_$s"
done
[ "$failures" -eq 0 ] && echo "== board: all passed" || echo "== board: $failures failed"
[ "$failures" -eq 0 ]
