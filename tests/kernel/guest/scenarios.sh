# Kernel scenarios, run by the guest's /init (busybox sh). Each scenario is the
# UI side through mosquitto_pub/mosquitto_sub against the unchanged daemon on
# vcan can0. Results: "KT PASS name", "KT FAIL name: why"; the files of a
# failed scenario follow between "KT-FILE name/file" and "KT-END".
KT=/kt
CFG=/opt/vyr/configs
TOPIC_CMD=dt/ui_to_app/cmd
TOPIC_RESP=dt/app_to_ui/resp
# Foreign frames put on the bus all through a scenario: the daemon's receive
# filters must keep them out of every exchange.
NOISE_11="7F0#F00DF00DF00DF00D"
NOISE_29="18DAF111#F111F111F111F111"
NOISE_TRACE_11="[ f0 ] [ 0d ] [ f0 ] [ 0d ] [ f0 ] [ 0d ] [ f0 ] [ 0d ]"
NOISE_TRACE_29="[ f1 ] [ 11 ] [ f1 ] [ 11 ] [ f1 ] [ 11 ] [ f1 ] [ 11 ]"
# Error frames: transmission timeouts pass the daemon's error mask (its
# exchanges skip them), controller problems do not.
NOISE_ERR_IN="20000001#00000000000000E1"
NOISE_ERR_OUT="20000004#00000000000000E4"
NOISE_TRACE_ERR_IN="[ 00 ] [ 00 ] [ 00 ] [ 00 ] [ 00 ] [ 00 ] [ 00 ] [ e1 ]"
NOISE_TRACE_ERR_OUT="[ 00 ] [ 00 ] [ 00 ] [ 00 ] [ 00 ] [ 00 ] [ 00 ] [ e4 ]"

uptime_s() { cut -d' ' -f1 /proc/uptime; }
lines() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }

# wait_line FILE TEXT SECONDS [AFTER_LINE]: a line holding TEXT after line AFTER_LINE.
wait_line() {
    local i=0
    while [ $i -lt $(($3 * 10)) ]; do
        tail -n +$((${4:-0} + 1)) "$1" 2>/dev/null | grep -qF -- "$2" && return 0
        usleep 100000
        i=$((i + 1))
    done
    return 1
}

fail() {
    echo "KT FAIL $NAME: $*"
    FAILED=1
}

spawn() { # spawn LOG CMD...: runs CMD in the background, remembered for the end of the scenario
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    PIDS="$PIDS $!"
    LAST=$!
}

start_broker() {
    printf 'listener 1883 127.0.0.1\nallow_anonymous true\nuser root\npersistence false\n' >/tmp/mosquitto.conf
    mosquitto -c /tmp/mosquitto.conf >/tmp/mosquitto.log 2>&1 &
    local i=0
    while ! mosquitto_pub -h 127.0.0.1 -t kt/ping -m 1 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 100 ] || { echo "KT FAIL setup: broker does not start"; return 1; }
        usleep 100000
    done
}

begin() { # begin NAME
    NAME=$1
    D=/tmp/$NAME
    FAILED=0
    PIDS=
    T_BEGIN=$(uptime_s)
    mkdir -p "$D"
    : >/tmp/sudo.log
    spawn "$D/resp.log" mosquitto_sub -h 127.0.0.1 -v -t "$TOPIC_RESP"
    spawn /dev/null sh -c "while :; do for f in $NOISE_11 $NOISE_29 $NOISE_ERR_IN $NOISE_ERR_OUT; do
        cansend can0 \$f; done; usleep 200000; done"
    usleep 300000
}

start_gateway() {
    spawn "$D/gateway.log" obd-gateway
    GW=$LAST
    # The bus is brought up before any vehicle is there, as on a car. Taking
    # can0 down ends the reads of every socket on it with ENETDOWN, so the
    # trace starts once it is up again.
    local i=0
    while [ "$(lines /tmp/sudo.log)" -lt 3 ] && [ $i -lt 200 ]; do
        usleep 100000
        i=$((i + 1))
    done
    usleep 500000
    spawn "$D/candump.log" candump -L can0
}

send() { mosquitto_pub -h 127.0.0.1 -q 1 -t "$TOPIC_CMD" -m "$1"; }

# expect_status MSG SECONDS [AFTER_LINE]
expect_status() {
    wait_line "$D/resp.log" "\"msg\":\"$1\"" "$2" "${3:-0}" || fail "no \"$1\" within $2 s"
}

# expect_file ACTUAL EXPECTED
expect_file() {
    cp "$1" "$D/$(basename "$2").actual" 2>/dev/null
    cmp -s "$1" "$KT/$2" || fail "$1 differs from $2"
}

# The first packet after line AFTER_LINE holding MATCH (packets may span lines).
packet_after() { # packet_after AFTER_LINE MATCH
    awk -v from="$1" -v m="$2" -v t="$TOPIC_RESP " '
        NR <= from { next }
        index($0, t) == 1 {
            if (rec != "" && index(rec, m)) { printf "%s", rec; done = 1; exit }
            rec = substr($0, length(t) + 1) "\n"
            next
        }
        { rec = rec $0 "\n" }
        END { if (!done && rec != "" && index(rec, m)) printf "%s", rec }' "$D/resp.log"
}

expect_packet() { # expect_packet MATCH EXPECTED SECONDS AFTER_LINE
    if ! wait_line "$D/resp.log" "$1" "$3" "$4"; then
        fail "no packet with $1 within $3 s"
        return
    fi
    usleep 300000
    packet_after "$4" "$1" >"$D/$2.actual"
    cmp -s "$D/$2.actual" "$KT/$2" || fail "packet differs from $2"
}

# Identification done: the file, a trouble-code read, live data, a clear.
check_vehicle() { # check_vehicle ECU_INFO DTC LIVE
    local from
    expect_file $CFG/ecu_info.json "$1"
    from=$(lines "$D/resp.log")
    send '{"TYP":1,"CMD":1}'
    expect_packet '"STRDTC"' "$2" 60 "$from"
    from=$(lines "$D/resp.log")
    send '{"TYP":1,"CMD":2}'
    expect_packet '"CMD": 2,' "$3" 60 "$from"
    send '{"TYP":1,"CMD":3}'
    usleep 500000
    from=$(lines "$D/resp.log")
    send '{"TYP":1,"CMD":4}'
    expect_status DTC_CLEARED 60 "$from"
    usleep 1000000
    local n
    n=$(tail -n +$((from + 1)) "$D/resp.log" | grep -cF '"msg":"DTC_CLEARED"')
    [ "$n" -eq 1 ] || fail "$n \"DTC_CLEARED\" for one clear"
    ! tail -n +$((from + 1)) "$D/resp.log" | grep -qF '"msg":"NORES"' || fail "\"NORES\" during the clear"
}

finish() {
    local p
    # The daemon ran the bring-up on the real interface through sudo; the bit
    # rate cannot be set on vcan, which the daemon only sees as later errors.
    printf 'sudo ip link set can0 down\nsudo ip link set can0 up type can bitrate 500000\nsudo ip link set can0 up\n' >/tmp/sudo.expected
    head -3 /tmp/sudo.log >"$D/sudo.log"
    cmp -s "$D/sudo.log" /tmp/sudo.expected || fail "sudo ip link commands differ"
    kill -0 "$GW" 2>/dev/null || fail "obd-gateway ended"
    for p in $PIDS; do kill "$p" 2>/dev/null; done
    wait $PIDS 2>/dev/null
    grep -qF "$NOISE_TRACE_11" "$D/gateway.log" && fail "a frame from 0x7F0 reached an exchange"
    grep -qF "$NOISE_TRACE_29" "$D/gateway.log" && fail "a frame from 0x18DAF111 reached an exchange"
    grep -qF "$NOISE_TRACE_ERR_OUT" "$D/gateway.log" && fail "a controller error frame reached an exchange"
    grep -qF "$NOISE_TRACE_ERR_IN" "$D/gateway.log" || fail "no transmission-timeout error frame reached an exchange"
    grep -q ' 7F0#F00D' "$D/candump.log" || fail "no 0x7F0 frame on the bus"
    grep -q ' 18DAF111#F111' "$D/candump.log" || fail "no 0x18DAF111 frame on the bus"
    echo "KT TIME $NAME $(awk -v a="$T_BEGIN" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }') s"
    if [ "$FAILED" -eq 0 ]; then
        echo "KT PASS $NAME"
    else
        cp $CFG/ecu_info.json "$D/" 2>/dev/null
        for p in "$D"/*; do
            echo "KT-FILE $NAME/$(basename "$p")"
            awk 1 "$p" # a last line without its line end still ends before the marker
            echo "KT-END"
        done
    fi
}

# --- scenarios ---------------------------------------------------------------

# The simulator on the raw socket of can0.
sim_scenario() { # sim_scenario BITS
    begin "sim_$1"
    start_gateway
    spawn "$D/sim.log" obd-vehicle-sim --vehicle "$KT/full_$1.json" --can can0 --no-stdin --quiet
    expect_status SAVSUC 90
    [ "$FAILED" -eq 0 ] && check_vehicle "ecu_info_$1.json" "dtc_$1.txt" live.txt
    finish
}
kt_sim_11bit() { sim_scenario 11bit; }
kt_sim_29bit() { sim_scenario 29bit; }

# An ECU on the kernel's ISO-TP; then it goes away and comes back refusing
# to clear after two busy answers.
isotp_scenario() { # isotp_scenario BITS
    local from
    begin "isotp_$1"
    start_gateway
    spawn "$D/ecu.log" obd-isotp-ecu --vehicle "$KT/full_$1.json" --can can0
    local ecu=$LAST
    expect_status SAVSUC 90
    [ "$FAILED" -eq 0 ] && check_vehicle "ecu_info_$1.json" "dtc_$1.txt" live.txt
    if [ "$FAILED" -eq 0 ]; then
        from=$(lines "$D/resp.log")
        kill "$ecu"
        expect_status NOECU 30 "$from"
        from=$(lines "$D/resp.log")
        spawn "$D/ecu2.log" obd-isotp-ecu --vehicle "$KT/full_$1.json" --clear 2:22 --can can0
        expect_status GOTECU 30 "$from"
        expect_status SAVSUC 60 "$from"
        expect_file $CFG/ecu_info.json "ecu_info_$1.json"
        from=$(lines "$D/resp.log")
        send '{"TYP":1,"CMD":4}'
        wait_line "$D/resp.log" '{"TYP":1,"CMD":4,"ERROR":1,"DATA":{"msg":"NORES"}}' 30 "$from" ||
            fail "no \"NORES\" for a refused clear"
        ! tail -n +$((from + 1)) "$D/resp.log" | grep -qF '"msg":"DTC_CLEARED"' || fail "a refused clear reported cleared"
        grep -qF '04 -> 7F 04 22' "$D/ecu2.log" || fail "the clear was not refused"
    fi
    finish
}
kt_isotp_11bit() { isotp_scenario 11bit; }
kt_isotp_29bit() { isotp_scenario 29bit; }

# Engine 0x7E8 and transmission 0x7E9, both on the kernel's ISO-TP, both
# answering every functional request: the file is the engine's alone, the
# codes are the engine's then the transmission's, the live packet the
# engine's, one clear one "DTC_CLEARED".
kt_two_ecus() {
    begin two_ecus
    # Both ECUs are up before the gateway asks: one still starting when the
    # detection request comes would answer later than the 50 ms OBD allows.
    spawn "$D/engine.log" obd-isotp-ecu --vehicle "$KT/full_11bit.json" --can can0
    spawn "$D/transmission.log" obd-isotp-ecu --vehicle "$KT/transmission_11bit.json" --can can0
    wait_line "$D/engine.log" "answers from" 10 && wait_line "$D/transmission.log" "answers from" 10 ||
        fail "the ECUs did not start"
    start_gateway
    expect_status SAVSUC 90
    [ "$FAILED" -eq 0 ] && check_vehicle ecu_info_11bit.json dtc_two_ecus.txt live.txt
    finish
}

# The preload library's tests of its SocketCAN rules (filters, error masks,
# loopback, error codes), run here against the kernel itself: both must agree.
kt_preload_rules() {
    NAME=preload_rules
    D=/tmp/$NAME
    FAILED=0
    T_BEGIN=$(uptime_s)
    mkdir -p "$D"
    if [ ! -x $KT/build/tests/can_preload_test ]; then
        echo "KT NOTE $NAME: skipped, the tests are not built for this architecture"
        return
    fi
    # The guest is a machine of its own: no test namespaces needed.
    OBDGW_IN_TEST_NAMESPACES=1 OBDSIM_TEST_CAN=can0 OBDGW_BUILD_DIR=$KT/build OBDGW_SOURCE_DIR=$KT/src \
        $KT/build/tests/can_preload_test >"$D/gtest.log" 2>&1 || fail "can_preload_test on can0"
    grep -E '^\[  (FAILED|SKIPPED) \] [A-Za-z]+\.[A-Za-z_]+ \(' "$D/gtest.log" | sed 's/ (.*//; s/^/KT NOTE /'
    echo "KT TIME $NAME $(awk -v a="$T_BEGIN" -v b="$(uptime_s)" 'BEGIN { printf "%.1f", b - a }') s"
    if [ "$FAILED" -eq 0 ]; then
        echo "KT PASS $NAME"
    else
        echo "KT-FILE $NAME/gtest.log"
        awk 1 "$D/gtest.log"
        echo "KT-END"
    fi
}

ALL="kt_preload_rules kt_sim_11bit kt_sim_29bit kt_isotp_11bit kt_isotp_29bit kt_two_ecus"

run_scenarios() { # run_scenarios [NAME...] (names without kt_)
    local s list=
    for s in "$@"; do list="$list kt_$s"; done
    start_broker || return
    for s in ${list:-$ALL}; do
        $s
        echo 3 >/proc/sys/vm/drop_caches 2>/dev/null
    done
}
