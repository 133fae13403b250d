#!/usr/bin/env bash
# scripts/install-deps.sh on a stand-in machine (a private mount namespace
# whose apt-get, dpkg, systemctl and pkg-config are recorders): whether apt
# fails or succeeds, the script leaves no service policy behind and never
# stops, disables or reconfigures the system broker. Needs root (unshare).
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
for tool in apt-get dpkg systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"$LOG"\n' "$tool" >"$work/bin/$tool"
done
# apt-get fails when asked to; dpkg knows no package; the broker runs.
echo 'case "$*" in *install*) [ -n "$APT_FAILS" ] && exit 100 ;; esac; exit 0' >>"$work/bin/apt-get"
echo 'exit 1' >>"$work/bin/dpkg"
printf '#!/bin/sh\necho 2.1.3\n' >"$work/bin/pkg-config"
chmod +x "$work/bin"/*

failures=0
for apt_fails in "" yes; do
    log=$work/log.$apt_fails
    : >"$log"
    # shellcheck disable=SC2016
    out=$(LOG=$log APT_FAILS=$apt_fails PATH="$work/bin:$PATH" SRC=$src unshare --mount -- sh -c '
        mount --make-rprivate / && mount -t tmpfs tmpfs /usr/sbin && mount -t tmpfs tmpfs /etc/apt/sources.list.d || exit 99
        bash "$SRC/scripts/install-deps.sh" >/dev/null 2>&1; echo "rc=$?"
        ls -A /usr/sbin')
    what="apt succeeds"
    [ -n "$apt_fails" ] && what="apt fails"
    rc=$(sed -n 's/^rc=//p' <<<"$out")
    left=$(grep -v '^rc=' <<<"$out" | tr '\n' ' ')
    expect_rc=0
    [ -n "$apt_fails" ] && expect_rc=100
    if [ "$rc" != "$expect_rc" ]; then
        echo "FAIL - $what: exit status $rc, expected $expect_rc"; failures=$((failures + 1))
    fi
    if [ -n "$left" ]; then
        echo "FAIL - $what: left behind in /usr/sbin: $left"; failures=$((failures + 1))
    fi
    if grep -E '^systemctl (stop|disable|mask)|^systemctl .*(stop|disable|mask) ' "$log"; then
        echo "FAIL - $what: the system broker was stopped or disabled"; failures=$((failures + 1))
    fi
    [ "$failures" -eq 0 ] && echo "ok   - $what: nothing left behind, broker untouched"
done
exit $((failures > 0))
