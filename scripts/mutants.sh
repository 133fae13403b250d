#!/usr/bin/env bash
# Mutation check: applies each patch of tests/mutants/ on its own, builds the
# test programs it names, runs the named tests and expects them to fail. A
# mutant the tests do not notice "survived"; a patch that no longer applies or
# no longer builds is reported as such and counted as neither.
#
# Each patch starts with two comment lines (git apply skips them):
#   # undoes: what the change breaks
#   # tests: program=gtest_filter [program=gtest_filter ...]
#   # timeout: seconds   (optional, default 60: for mutants that make a test hang)
# (programs by their path below the build's tests/ folder, e.g. e2e/e2e_scenarios)
#
# The source tree is changed while it runs (one mutant at a time, always
# undone, also on Ctrl-C): commit nothing meanwhile.
#
# Usage: scripts/mutants.sh [patch ...]   (default: every tests/mutants/*.patch)
# Exit status 0 only when every mutant applied, built and was killed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${OBDGW_MUTANTS_BUILD:-$root/build/mutants}
per_test_timeout=${OBDGW_MUTANT_TIMEOUT:-60}

if command -v ccache >/dev/null 2>&1 && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    export CCACHE_DIR=${CCACHE_DIR:-/var/cache/obdgw-ccache} CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd .. && pwd)}
    export CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-20G}
fi

if [ $# -gt 0 ]; then
    patches=("$@")
else
    patches=("$root"/tests/mutants/*.patch)
fi

# The one mutant applied right now; undone on every way out.
applied=""
restore() {
    if [ -n "$applied" ]; then
        git apply -R "$applied" || echo "mutants: could not undo $applied: restore by hand" >&2
        applied=""
    fi
}
trap restore EXIT
trap 'restore; exit 130' INT
trap 'restore; exit 143' TERM

header() { sed -n "s/^# $1: *//p" "$2" | head -n1; }

if ! cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOBDGW_SANITIZE= >/dev/null; then
    echo "mutants: configure failed"
    exit 1
fi

killed=0
survived=()
broken=()
start=$(date +%s)
for patch in "${patches[@]}"; do
    name=$(basename "$patch" .patch)
    what=$(header undoes "$patch")
    read -r -a runs <<<"$(header tests "$patch")"
    limit=$(header timeout "$patch")
    if [ ${#runs[@]} -eq 0 ]; then
        broken+=("$name (no '# tests:' line)")
        continue
    fi
    if ! git apply --check "$patch" 2>/dev/null; then
        broken+=("$name (does not apply)")
        echo "-- $name: DOES NOT APPLY"
        continue
    fi
    git apply "$patch" && applied=$patch
    t0=$(date +%s)
    targets=()
    for r in "${runs[@]}"; do targets+=("$(basename "${r%%=*}")"); done
    log=$(mktemp)
    if ! cmake --build "$build" --target "${targets[@]}" >"$log" 2>&1; then
        restore
        broken+=("$name (does not build)")
        echo "-- $name: DOES NOT BUILD"
        tail -n 20 "$log"
        rm -f "$log"
        continue
    fi
    failed=""
    for r in "${runs[@]}"; do
        prog=${r%%=*}
        filter=${r#*=}
        [ "$filter" = "$r" ] && filter='*'
        if ! timeout -k 5 "${limit:-$per_test_timeout}" "$build/tests/$prog" --gtest_filter="$filter" >"$log" 2>&1; then
            failed="$prog=$filter"
            break
        fi
    done
    rm -f "$log"
    restore
    if [ -n "$failed" ]; then
        killed=$((killed + 1))
        echo "-- $name: killed by $failed ($(($(date +%s) - t0)) s)"
    else
        survived+=("$name: $what")
        echo "-- $name: SURVIVED ($what; $(($(date +%s) - t0)) s)"
    fi
done
# The programs are left built from the unchanged sources.
cmake --build "$build" --target $(for p in "${patches[@]}"; do
    for r in $(header tests "$p"); do basename "${r%%=*}"; done
done | sort -u) >/dev/null 2>&1

echo
echo "mutants: ${killed} killed, ${#survived[@]} survived ($(($(date +%s) - start)) s)"
for s in "${survived[@]}"; do echo "  survived: $s"; done
for b in "${broken[@]}"; do echo "  broken: $b"; done
[ ${#survived[@]} -eq 0 ] && [ ${#broken[@]} -eq 0 ]
