#!/usr/bin/env bash
# Mutation check: applies each patch of tests/mutants/ on its own, builds the
# test programs it names, runs the named tests and expects them to fail. A
# mutant the tests do not notice "survived"; a patch that no longer applies or
# no longer builds is reported as such and counted as neither.
#
# Each patch starts with two comment lines (git apply skips them):
#   # undoes: what the change breaks
#   # tests: program=gtest_filter [program=gtest_filter ...]
#   # timeout: seconds   (optional: for mutants that make a test hang)
# (programs by their path below the build's tests/ folder, e.g. e2e/e2e_scenarios)
#
# First, once per run, every named test runs on the unchanged tree: it must
# run at least one test and pass (and, where a patch declares a timeout,
# finish within half of it). A mutant is killed only by a failed assertion, a
# crash (a signal), or its declared timeout; any other end (a timeout nobody
# declared, the harness failing to start) is "broken", and so is a patch whose
# tests fail or are slow without it.
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
log=$(mktemp)

# run_tests PROGRAM FILTER LIMIT [LOG]: sets outcome (passed, assertion,
# crash SIG, timeout, no test, exit N) and secs.
run_tests() {
    local t0 rc out=${4:-$log}
    t0=$(date +%s%N)
    timeout -k 5 "$3" "$build/tests/$1" --gtest_filter="$2" >"$out" 2>&1
    rc=$?
    secs=$(awk -v a="$t0" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')
    if [ "$rc" -eq 0 ]; then
        grep -qE '^\[  PASSED  \] [1-9]' "$out" && outcome=passed || outcome="no test"
    elif [ "$rc" -eq 1 ] && grep -q '^\[  FAILED  \]' "$out"; then
        outcome=assertion
    elif [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        outcome=timeout
    elif [ "$rc" -gt 128 ]; then
        outcome="crash SIG$(kill -l $((rc - 128)) 2>/dev/null || echo $((rc - 128)))"
    else
        outcome="exit $rc"
    fi
}

# The unchanged tree: every named program built, every named run once.
declare -A base_outcome=() base_secs=()
mapfile -t all_runs < <(for p in "${patches[@]}"; do header tests "$p"; done | tr ' ' '\n' | grep . | sort -u)
mapfile -t all_programs < <(for r in "${all_runs[@]}"; do basename "${r%%=*}"; done | sort -u)
if ! cmake --build "$build" --target "${all_programs[@]}" >"$log" 2>&1; then
    tail -n 20 "$log"
    echo "mutants: the named test programs do not build unchanged"
    exit 1
fi
# Two at a time (OBDGW_MUTANT_JOBS): each test program has namespaces of its own.
base=$(mktemp -d)
for i in "${!all_runs[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "${OBDGW_MUTANT_JOBS:-2}" ]; do wait -n; done
    r=${all_runs[$i]}
    prog=${r%%=*}
    filter=${r#*=}
    [ "$filter" = "$r" ] && filter='*'
    (run_tests "$prog" "$filter" "$per_test_timeout" "$base/$i.log" && echo "$outcome|$secs" >"$base/$i") &
done
wait
good=0
for i in "${!all_runs[@]}"; do
    r=${all_runs[$i]}
    IFS='|' read -r outcome secs <"$base/$i"
    base_outcome[$r]=$outcome base_secs[$r]=$secs
    if [ "$outcome" = passed ]; then good=$((good + 1)); else echo "-- unchanged: $r: $outcome ($secs s)"; fi
done
rm -rf "$base"
echo "-- unchanged tree: $good of ${#all_runs[@]} named runs pass ($(($(date +%s) - start)) s)"

for patch in "${patches[@]}"; do
    name=$(basename "$patch" .patch)
    what=$(header undoes "$patch")
    read -r -a runs <<<"$(header tests "$patch")"
    limit=$(header timeout "$patch")
    if [ ${#runs[@]} -eq 0 ]; then
        broken+=("$name (no '# tests:' line)")
        continue
    fi
    unfit=""
    for r in "${runs[@]}"; do
        if [ "${base_outcome[$r]}" != passed ]; then
            unfit="$r gives '${base_outcome[$r]}' on the unchanged tree"
        elif [ -n "$limit" ] && awk -v s="${base_secs[$r]}" -v l="$limit" 'BEGIN { exit !(s * 2 > l) }'; then
            unfit="$r takes ${base_secs[$r]} s unchanged, over half its declared timeout of $limit s"
        fi
        [ -z "$unfit" ] || break
    done
    if [ -n "$unfit" ]; then
        broken+=("$name ($unfit)")
        echo "-- $name: BROKEN ($unfit)"
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
    if ! cmake --build "$build" --target "${targets[@]}" >"$log" 2>&1; then
        restore
        broken+=("$name (does not build)")
        echo "-- $name: DOES NOT BUILD"
        tail -n 20 "$log"
        continue
    fi
    verdict=survived
    for r in "${runs[@]}"; do
        prog=${r%%=*}
        filter=${r#*=}
        [ "$filter" = "$r" ] && filter='*'
        run_tests "$prog" "$filter" "${limit:-$per_test_timeout}"
        case "$outcome" in
        passed) continue ;;
        assertion | crash*) verdict="killed by $r ($outcome)" ;;
        timeout)
            if [ -n "$limit" ]; then
                verdict="killed by $r (its declared timeout of $limit s)"
            else
                verdict="broken: $r hung past $per_test_timeout s and the patch declares no timeout"
            fi
            ;;
        *) verdict="broken: $r ended with '$outcome', neither a failed assertion nor a crash" ;;
        esac
        break
    done
    restore
    case "$verdict" in
    killed*)
        killed=$((killed + 1))
        echo "-- $name: $verdict ($(($(date +%s) - t0)) s)"
        ;;
    broken*)
        broken+=("$name (${verdict#broken: })")
        echo "-- $name: BROKEN (${verdict#broken: })"
        ;;
    *)
        survived+=("$name: $what")
        echo "-- $name: SURVIVED ($what; $(($(date +%s) - t0)) s)"
        ;;
    esac
done
rm -f "$log"
# The programs are left built from the unchanged sources.
cmake --build "$build" --target "${all_programs[@]}" >/dev/null 2>&1

echo
echo "mutants: ${killed} killed, ${#survived[@]} survived ($(($(date +%s) - start)) s)"
for s in "${survived[@]}"; do echo "  survived: $s"; done
for b in "${broken[@]}"; do echo "  broken: $b"; done
[ ${#survived[@]} -eq 0 ] && [ ${#broken[@]} -eq 0 ]
