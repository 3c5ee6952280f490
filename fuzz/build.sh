#!/usr/bin/env bash
# Builds zelvane_bench (the codec alone) with address and undefined-behaviour
# sanitizers into build/fuzz-<python>, with libFuzzer coverage hooks when
# clang is available. Prints the build directory.
# Usage: fuzz/build.sh [python]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
tag=$("$python" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
# CXX picks the compiler; by default clang, whose coverage hooks guide
# atheris, and g++ where clang is missing.
compiler=${CXX:-}
if [[ -z $compiler ]]; then
    for candidate in clang++-14 clang++ g++; do
        if command -v "$candidate" >/dev/null; then
            compiler=$candidate
            break
        fi
    done
fi
fuzz=OFF
dir="build/fuzz-${tag}-gcc"
if "$compiler" --version | grep -q clang; then
    fuzz=ON
    dir="build/fuzz-${tag}"
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$python")" \
    -DCMAKE_CXX_COMPILER="$compiler" -DZELVANE_FUZZ="$fuzz" \
    -DZELVANE_SANITIZE=ON -DZELVANE_BENCH_EXT=ON >/dev/null
cmake --build "$dir" --target zelvane_bench >&2
echo "$dir"
