#!/usr/bin/env bash
# The test command: installs what is missing, then configures, builds and runs
# every test (unit, integration, end-to-end) under the default, tsan and asan
# presets. Exits non-zero on any failure; ends with ctest's summary lines.
set -uo pipefail
cd "$(dirname "$0")/.."

deps_missing() {
    local c
    for c in cmake ninja g++ pkg-config mosquitto mosquitto_pub unshare ip python3 clang-format-14 \
        sudo visudo fakeroot dpkg-deb systemd-analyze qemu-system-x86_64 qemu-system-aarch64 qemu-img \
        mmdebstrap arch-test mke2fs update-binfmts clang-14 clang++-14; do
        command -v "$c" >/dev/null 2>&1 || return 0
    done
    # The fuzz preset links libFuzzer and the sanitizers from clang's runtime.
    compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-$(uname -m).a" >/dev/null || return 0
    pkg-config --exists libcjson 'libgpiod >= 2.0' || return 0
    [ -f /usr/include/MQTTClient.h ] || return 0
    [ -f /usr/include/gtest/gtest.h ] || return 0
    [ -f /usr/include/gmock/gmock.h ] || return 0
    [ -f /usr/include/benchmark/benchmark.h ] || return 0
    [ -f /usr/src/linux-source-6.1.tar.xz ] || return 0
    return 1
}

# The board's packages are cross-built: its role is installed here, once,
# before both architectures start (two installs at once fail on apt's lock).
board_deps_missing() {
    [ "${OBDGW_BOARD_TESTS:-1}" = 1 ] || return 1
    command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || return 0
    dpkg -s libcjson-dev:arm64 libpaho-mqtt-dev:arm64 libgpiod-dev:arm64 >/dev/null 2>&1 || return 0
    return 1
}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
if deps_missing; then
    echo "== installing dependencies"
    as_root bash scripts/install-deps.sh || exit 1
    deps_missing && { echo "== dependencies still missing after scripts/install-deps.sh"; exit 1; }
fi
if board_deps_missing; then
    echo "== installing the board's dependencies (--arm64)"
    as_root bash scripts/install-deps.sh --arm64 || exit 1
fi

# A compiler cache, when there is one, shared by every clone on this machine:
# paths are taken relative to the clone's parent, so a fresh clone of the same
# sources compiles nothing twice.
if command -v ccache >/dev/null 2>&1 && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    export CCACHE_DIR=${CCACHE_DIR:-/var/cache/obdgw-ccache} CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd .. && pwd)}
    export CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-20G}
fi

presets=${OBDGW_PRESETS:-"default tsan asan"}
status=0
summaries=()

# ctest's list of tests that did not run (skipped, disabled), as summary lines.
did_not_run() {
    awk '/^The following tests did not run:/ { on = 1; next }
        on && /^[ \t]+[0-9]+ - / { sub(/^[ \t]+[0-9]+ - /, ""); print "  did not run: " $0; next }
        { on = 0 }' "$1"
}
# A stage switched off leaves a line saying so: the summary shows what was not checked.
off() { summaries+=("[$1] NOT RUN: $2"); }
for p in default tsan asan; do
    [[ " $presets " == *" $p "* ]] || off "$p" "not in OBDGW_PRESETS"
done
[ -z "${OBDGW_CTEST_ARGS:-}" ] || off "tests" "only those of OBDGW_CTEST_ARGS=$OBDGW_CTEST_ARGS"

# Formatting: every C++ source of the tree as .clang-format has it.
echo "== format check (clang-format-14)"
if git ls-files -z --cached --others --exclude-standard -- '*.cpp' '*.h' |
    xargs -0 -r clang-format-14 --dry-run --Werror; then
    summaries+=("[format] ok")
else
    summaries+=("[format] differs from .clang-format: run clang-format-14 -i on the files above"); status=1
fi

for p in $presets; do
    echo "== preset $p: configure"
    if ! cmake --preset "$p" >/dev/null; then
        summaries+=("[$p] configure failed"); status=1; continue
    fi
    echo "== preset $p: build"
    if ! cmake --build --preset "$p"; then
        summaries+=("[$p] build failed"); status=1; continue
    fi
    echo "== preset $p: test"
    log=$(mktemp)
    # shellcheck disable=SC2086 # OBDGW_CTEST_ARGS: ctest's own options, e.g. "-R Config"
    ctest --preset "$p" ${OBDGW_CTEST_ARGS:-} 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || status=1
    summaries+=("== preset $p")
    while IFS= read -r line; do summaries+=("$line"); done \
        < <(grep -E '^[0-9]+% tests passed|^Total Test time' "$log")
    # A test that skipped (no tmpfs, no vcan) passed nothing: named, one a line.
    while IFS= read -r line; do summaries+=("$line"); done < <(did_not_run "$log")
    rm -f "$log"
done

# ---- mutants: each patch of tests/mutants/ must make its tests fail ----
if [ "${OBDGW_MUTANTS:-1}" = 1 ]; then
    echo "== mutants"
    log=$(mktemp)
    bash scripts/mutants.sh 2>&1 | tee "$log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    summaries+=("[mutants] $(grep -m1 '^mutants: ' "$log" | sed 's/^mutants: //')")
    while IFS= read -r line; do summaries+=("$line"); done < <(grep -E '^  (survived|broken): ' "$log")
    rm -f "$log"
else
    off mutants "OBDGW_MUTANTS=${OBDGW_MUTANTS}"
fi
# ---- end mutants ----
# ---- board: the packages installed on a Debian 12 image under QEMU, arm64 and amd64 ----
# (tests/board/run.sh: systemd, real CAN cards, gpio-sim, power cuts.) Both
# architectures boot at once, one CPU each, and share the scenarios between
# them to keep the test command short: the board's own (arm64) gets the
# hardware, the vehicles on the kernel's ISO-TP and two power cuts (the ECU
# information file, a factory restore); amd64 the simulator, the broker, the
# journal, the upgrade's power cut and the purge.
# OBDGW_BOARD_FULL=1: every scenario on both; by hand, run.sh runs them all.
if [ "${OBDGW_BOARD_TESTS:-1}" = 1 ]; then
    declare -A board_args=(
        [arm64]="--moments ecu_info,factory install main cut check"
        [amd64]="--moments apt install main cut purge"
    )
    declare -A board_scenarios=(
        [arm64]="walls relays bitrate isotp pending cli sigsegv can_gone trace_complete factory"
        [amd64]="walls sim two_ecus uds gone_and_back broker_restart trace_complete preload_rules journal upgrade"
    )
    archs=${OBDGW_BOARD_ARCHS:-arm64 amd64}
    declare -A board_log=() board_pid=()
    for arch in $archs; do
        board_log[$arch]=$(mktemp)
        args=(--cuts "${OBDGW_BOARD_CUTS:-1}")
        # shellcheck disable=SC2206
        [ "${OBDGW_BOARD_FULL:-0}" = 1 ] || args+=(--scenarios "${board_scenarios[$arch]}" ${board_args[$arch]})
        echo "== board: $arch (${args[*]})"
        bash tests/board/run.sh --arch "$arch" --journal-seconds "${OBDGW_BOARD_JOURNAL_SECONDS:-10}" "${args[@]}" \
            >"${board_log[$arch]}" 2>&1 &
        board_pid[$arch]=$!
    done
    for arch in $archs; do
        wait "${board_pid[$arch]}"
        rc=$?
        echo "== board: $arch"
        cat "${board_log[$arch]}"
        if [ "$rc" -eq 0 ]; then
            summaries+=("[board $arch] passed")
            # What the board counted but did not judge (too few power cuts).
            while IFS= read -r line; do summaries+=("  $line"); done < <(grep 'not judged' "${board_log[$arch]}")
        else
            summaries+=("[board $arch] $(grep -m1 'FAILED' "${board_log[$arch]}" || echo FAILED)"); status=1
        fi
        rm -f "${board_log[$arch]}"
    done
    for arch in arm64 amd64; do
        [[ " $archs " == *" $arch "* ]] || off "board $arch" "not in OBDGW_BOARD_ARCHS"
    done
else
    off board "OBDGW_BOARD_TESTS=${OBDGW_BOARD_TESTS}"
fi
# ---- end board ----

# --- fuzzing: every harness replays its corpus, then fuzzes OBDGW_FUZZ_SECONDS (3; OBDGW_FUZZ=0 skips) ---
if [ "${OBDGW_FUZZ:-1}" != 0 ]; then
    echo "== fuzz"
    if bash scripts/fuzz.sh "${OBDGW_FUZZ_SECONDS:-3}"; then summaries+=("== fuzz: no finding"); else summaries+=("== fuzz: FAILED"); status=1; fi
else
    off fuzz "OBDGW_FUZZ=${OBDGW_FUZZ}"
fi
# --- end of fuzzing ---

echo
[ "$status" -eq 0 ] || echo "== FAILED (see above)"
echo "== summary ($presets)"
for s in "${summaries[@]}"; do echo "$s"; done
exit "$status"
