#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer harness of tests/fuzz: first
# it replays the harness's corpus (seeds and every input that ever found a
# fault), then fuzzes for SECONDS (default 30) in one process. New interesting
# inputs go to build/fuzz/corpus/<harness>, findings to build/fuzz/findings.
# Usage: scripts/fuzz.sh [SECONDS] [HARNESS...]   Exits non-zero on any finding.
set -uo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
shift $(($# > 0 ? 1 : 0))

cmake --preset fuzz >/dev/null || exit 1
cmake --build --preset fuzz >/dev/null || { cmake --build --preset fuzz; exit 1; }

root=$(pwd)
out=$root/build/fuzz
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for src in tests/fuzz/fuzz_*.cpp; do
        h=$(basename "$src" .cpp)
        [ "$h" = fuzz_support ] || harnesses+=("${h#fuzz_}")
    done
fi

dict_of() {
    case "$1" in
    inbound | config | ecu_info) echo "$root/tests/fuzz/dict/$1.dict" ;;
    *) echo "$root/tests/fuzz/dict/can.dict" ;;
    esac
}

status=0
summary=()
for h in "${harnesses[@]}"; do
    bin=$out/tests/fuzz/fuzz_$h
    seeds=$root/tests/fuzz/corpus/$h
    work=$out/corpus/$h
    log=$out/logs/$h
    mkdir -p "$work" "$out/findings" "$log"
    # The product traces every step on stdout; only libFuzzer's own lines matter.
    opts=(-close_fd_mask=1 -timeout=30 -rss_limit_mb=2048 "-dict=$(dict_of "$h")"
          "-artifact_prefix=$out/findings/$h-")
    echo "== fuzz $h: replay $(ls "$seeds" | wc -l) corpus inputs"
    if ! "$bin" "${opts[@]}" -runs=0 "$seeds" >"$log/replay.log" 2>&1; then
        tail -n 30 "$log/replay.log"
        summary+=("[$h] FAILED on a corpus input (see $log/replay.log)"); status=1; continue
    fi
    echo "== fuzz $h: ${secs}s"
    # One job in a child process; its output lands in fuzz-0.log of the log folder.
    rm -f "$log/fuzz-0.log"
    (cd "$log" && "$bin" "${opts[@]}" -jobs=1 -workers=1 -max_total_time="$secs" "$work" "$seeds" \
        >"$log/run.log" 2>&1)
    rc=$?
    last=$(grep -aE '^#[0-9]+' "$log/fuzz-0.log" | tail -n 1)
    if [ "$rc" -ne 0 ] || grep -aqE '^==[0-9]+==ERROR|^SUMMARY: ' "$log/fuzz-0.log"; then
        tail -n 40 "$log/fuzz-0.log"
        summary+=("[$h] FINDING (see $log/fuzz-0.log and $out/findings)"); status=1
    else
        summary+=("[$h] ok: $last")
    fi
done
for s in "${summary[@]}"; do echo "$s"; done
exit "$status"
