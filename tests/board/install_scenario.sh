#!/bin/bash
# Runs inside the throw-away container of board_test.sh (never on a machine
# of its own): install, start, upgrade, remove and purge of obd-gateway.
# Usage: install_scenario.sh DEB_DIR GPIO_PRELOAD
set -u
debs=$1 gpio=$2
cfg=/opt/vyr/configs
unit=/lib/systemd/system/obd-gateway.service
wants=/etc/systemd/system/multi-user.target.wants/obd-gateway.service
ok() { echo "ok   - $*"; }
fail() { echo "FAIL - $*"; }
check() {
    local what=$1
    shift
    if "$@"; then ok "$what"; else fail "$what"; fi
}
logged() { "$@" >>/tmp/dpkg.log 2>&1; }
installed() { [ "$(dpkg-query -W -f '${Status} ${Version}' "$1" 2>/dev/null)" = "install ok installed $2" ]; }

rm -rf /opt/vyr
export DEBIAN_FRONTEND=noninteractive
check "install both packages" logged dpkg -i "$debs/first.deb" "$debs/tools.deb"
version=$(dpkg-deb -f "$debs/first.deb" Version)
check "obd-gateway $version installed" installed obd-gateway "$version"
check "first config.json is the factory copy" cmp -s $cfg/config.json $cfg/default_config/default_config.json
check "service enabled" test -L $wants
# verify exits 0 on unknown keys and bad values: any message is a failure.
verify=$(systemd-analyze verify $unit 2>&1)
check "systemd-analyze verify${verify:+: $verify}" test $? -eq 0 -a -z "$verify"

# Start: the broker with the system's configuration (and so the drop-in), the
# unit's command line with the tools package's vehicle and preload library.
mkdir -p /run/mosquitto && chown mosquitto: /run/mosquitto 2>/dev/null
mosquitto -c /etc/mosquitto/mosquitto.conf >/tmp/mosquitto.log 2>&1 &
broker=$!
for _ in $(seq 1 50); do timeout 0.2 bash -c '</dev/tcp/127.0.0.1/1883' 2>/dev/null && break; sleep 0.1; done
check "broker starts with the drop-in" kill -0 $broker
exec_start=$(sed -n 's/^ExecStart=//p' $unit)
check "start-up with the unit's command line: $exec_start" "$(dirname "$0")/startup_smoke.sh" /tmp/smoke \
    "$exec_start" /usr/bin/obd-vehicle-sim /usr/share/obd-gateway-tools/vehicles/petrol_11bit.json \
    "/usr/lib/obd-gateway-tools/libobdsim_can_preload.so:$gpio"
check "start-up wrote the vehicle record" grep -q '"VID"' $cfg/ecu_info.json
kill $broker
wait $broker 2>/dev/null

# Upgrade: the user's configuration stays, the factory copy is the new one.
printf '{"can_port":{"BR":125000,"padding":0}}\n' >$cfg/config.json
check "upgrade" logged dpkg -i "$debs/next.deb"
check "obd-gateway 99.0.0-1 installed" installed obd-gateway 99.0.0-1
check "upgrade keeps the user's config.json" grep -q '"BR":125000' $cfg/config.json
check "upgrade brings the new factory copy" grep -q '"BR": *250000' $cfg/default_config/default_config.json
check "service still enabled" test -L $wants

check "remove" logged dpkg -r obd-gateway
check "remove: binary and unit gone" test ! -e /usr/bin/obd-gateway -a ! -e $unit
check "remove: configuration and drop-in stay" test -f $cfg/config.json -a -f /etc/mosquitto/conf.d/obd-gateway.conf
check "purge" logged dpkg -P obd-gateway obd-gateway-tools
check "purge: configuration, vehicle record, drop-in, enablement gone" \
    test ! -e /opt/vyr -a ! -e /etc/mosquitto/conf.d/obd-gateway.conf -a ! -L $wants
check "purge: the broker's own configuration untouched" test -f /etc/mosquitto/mosquitto.conf
check "purge: tools gone" test ! -e /usr/bin/obd-vehicle-sim
grep -i 'error\|warning' /tmp/dpkg.log | sed 's/^/    dpkg: /'
