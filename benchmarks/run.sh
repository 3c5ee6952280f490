#!/usr/bin/env bash
# Runs every benchmark in one go, the cross-process call benchmark in three
# CPU placements and under contention, and ends with one table of zelvane's time as a ratio of each
# peer's (below 1 means zelvane is faster), with the target where there is one.
#
#   scripts/dev-build.sh
#   PYTHONPATH=$PWD/build/py311 benchmarks/run.sh [--quick] [--plot DIR]
#
# --plot DIR draws each benchmark family's ratios as DIR/<family>.png
# (matplotlib, from the bench extra).
#
# It builds nothing: it measures the zelvane (and zelvane_bench) that
# PYTHONPATH leads to. PYTHON names the interpreter (default python3).
set -uo pipefail
quick=()
plot=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --quick) quick=(--quick) ;;
        --plot) plot=(--plot "$(realpath -m "${2:?--plot needs a folder}")"); shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
cd "$(dirname "$0")"
python=${PYTHON:-python3}
ZELVANE_BENCH_RATIOS=$(mktemp)
export ZELVANE_BENCH_RATIOS
trap 'rm -f "$ZELVANE_BENCH_RATIOS"' EXIT
notes=()
failed=0

run() {
    echo
    echo "== $*"
    local before
    before=$(wc -l <"$ZELVANE_BENCH_RATIOS")
    if ! "$python" "$@" "${plot[@]}"; then
        notes+=("$* failed")
        failed=1
    elif [[ $(wc -l <"$ZELVANE_BENCH_RATIOS") == "$before" ]]; then
        notes+=("$* noted no ratios for the summary; see its own table above")
    fi
}

run codec.py "${quick[@]}"
run library.py
run slots.py "${quick[@]}"
run memory.py
run shared_state.py "${quick[@]}"
for placement in free same split; do
    run functions.py --placement "$placement" "${quick[@]}"
done
run functions.py --throughput "${quick[@]}"
run functions.py --slow-callable "${quick[@]}"
run functions.py --syscalls "${quick[@]}"
run executor.py "${quick[@]}"

echo
echo "== summary ($(nproc) CPUs, $("$python" -c 'import platform; print(platform.python_version())'))"
"$python" -c 'import sys, _common; _common.print_summary(sys.argv[1])' "$ZELVANE_BENCH_RATIOS"
for note in "${notes[@]}"; do echo "note: $note"; done
exit "$failed"
