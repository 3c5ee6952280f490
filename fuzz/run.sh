#!/usr/bin/env bash
# Runs the codec fuzz harnesses (decode, roundtrip, serve) on a sanitizer
# build of zelvane_bench, each for a bounded number of executions; fails on
# the first crash, sanitizer report, hang or memory blow-up.
#   fuzz/run.sh --smoke            20,000 executions each, one after another (CI)
#   fuzz/run.sh [--runs N] [harness...]   N executions each (default 10,000,000),
#                                  all at once, logs in build/fuzz-<python>/work/<harness>.log
# PYTHON selects the interpreter (default python3). atheris is installed into
# it when missing; without atheris (or with ZELVANE_FUZZ_PLAIN=1) a plain
# random mutator drives the same harnesses.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-python3}
runs=10000000
smoke=0
harnesses=()
while (($#)); do
    case $1 in
        --smoke) smoke=1; runs=20000 ;;
        --runs) runs=$2; shift ;;
        *) harnesses+=("$1") ;;
    esac
    shift
done
((${#harnesses[@]})) || harnesses=(decode roundtrip serve)

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    "$python" -m pip install -q cmake ninja >&2
fi
if ! "$python" -c 'import atheris' 2>/dev/null && ! "$python" -m pip install -q atheris >&2; then
    # Coverage hooks need atheris's runtime; gcc's sanitizers serve the plain mutator.
    echo "atheris unavailable: using the plain mutator" >&2
    export CXX=${CXX:-g++}
fi
build=$(fuzz/build.sh "$python")

# The interpreter itself is not instrumented: the sanitizer runtime is
# preloaded. A clang build (coverage hooks) takes atheris's runtime, which
# carries libFuzzer; a g++ build takes gcc's and the plain mutator.
if grep -q 'ZELVANE_FUZZ:BOOL=ON' "$build/CMakeCache.txt" &&
    atheris_dir=$("$python" -c 'import atheris; print(atheris.path())' 2>/dev/null); then
    export LD_PRELOAD="$atheris_dir/asan_with_fuzzer.so"
else
    export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
    export ZELVANE_FUZZ_PLAIN=1
fi
# CPython keeps objects alive until exit by design: leak reports are noise.
# Its small-object allocator would hide a read past a short bytes object.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export PYTHONMALLOC=malloc
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH="$root/$build:$root/fuzz"

work="$root/$build/work"
mkdir -p "$work"
run_one() {
    local harness=$1 max_len=4096
    [[ $harness == serve ]] && max_len=1024
    mkdir -p "$work/$harness"
    "$python" "$root/fuzz/$harness.py" -runs="$runs" -max_len="$max_len" -rss_limit_mb=2560 -timeout=20 \
        -print_final_stats=1 -artifact_prefix="$work/$harness-" "$work/$harness" "$root/fuzz/corpus/$harness"
}

if ((smoke)); then
    for harness in "${harnesses[@]}"; do
        echo "== $harness: $runs executions" >&2
        run_one "$harness" >"$work/$harness-smoke.log" 2>&1 || { tail -n 60 "$work/$harness-smoke.log" >&2; exit 1; }
        grep -E '^Done|stat::number_of_executed_units|stat::peak_rss_mb' "$work/$harness-smoke.log" >&2 || true
    done
    exit 0
fi

pids=()
for harness in "${harnesses[@]}"; do
    run_one "$harness" >"$work/$harness.log" 2>&1 &
    pids+=($!)
done
status=0
for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then
        echo "${harnesses[$i]}: ok" >&2
    else
        echo "${harnesses[$i]}: FAILED (see $work/${harnesses[$i]}.log)" >&2
        status=1
    fi
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$work/${harnesses[$i]}.log" >&2 || true
done
exit $status
