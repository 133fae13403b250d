#!/usr/bin/env bash
# The test command: installs what is missing, then configures, builds and runs
# every test (unit, integration, end-to-end) under the default, tsan and asan
# presets. Exits non-zero on any failure; ends with ctest's summary lines.
set -uo pipefail
cd "$(dirname "$0")/.."

deps_missing() {
    local c
    for c in cmake ninja g++ pkg-config mosquitto mosquitto_pub unshare ip python3; do
        command -v "$c" >/dev/null 2>&1 || return 0
    done
    pkg-config --exists libcjson 'libgpiod >= 2.0' || return 0
    [ -f /usr/include/MQTTClient.h ] || return 0
    [ -f /usr/include/gtest/gtest.h ] || return 0
    [ -f /usr/include/gmock/gmock.h ] || return 0
    [ -f /usr/include/benchmark/benchmark.h ] || return 0
    return 1
}

if deps_missing; then
    echo "== installing dependencies"
    if [ "$(id -u)" -eq 0 ]; then
        bash scripts/install-deps.sh || exit 1
    else
        sudo bash scripts/install-deps.sh || exit 1
    fi
fi

presets=${OBDGW_PRESETS:-"default tsan asan"}
status=0
summaries=()
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
    ctest --preset "$p" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || status=1
    summaries+=("== preset $p")
    while IFS= read -r line; do summaries+=("$line"); done \
        < <(grep -E '^[0-9]+% tests passed|^Total Test time' "$log")
    rm -f "$log"
done

# ---- board: packages, service unit, install/upgrade/purge, arm64 under qemu ----
if [ "${OBDGW_BOARD_TESTS:-1}" = 1 ]; then
    echo "== board"
    if tests/board/run.sh; then summaries+=("[board] passed"); else summaries+=("[board] FAILED"); status=1; fi
fi
# ---- end board ----

# --- fuzzing: every harness replays its corpus, then fuzzes 30 s (OBDGW_FUZZ=0 skips) ---
if [ "${OBDGW_FUZZ:-1}" != 0 ]; then
    echo "== fuzz"
    if bash scripts/fuzz.sh; then summaries+=("== fuzz: no finding"); else summaries+=("== fuzz: FAILED"); status=1; fi
fi
# --- end of fuzzing ---

echo
[ "$status" -eq 0 ] || echo "== FAILED (see above)"
echo "== summary ($presets)"
for s in "${summaries[@]}"; do echo "$s"; done
exit "$status"
