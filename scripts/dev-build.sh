#!/usr/bin/env bash
# Builds the extension in place for development: build/<python>[-san]/zelvane*.so,
# with the benchmark-only codec module zelvane_bench*.so beside it.
# Usage: scripts/dev-build.sh [python] [--sanitize]
# Then: PYTHONPATH=build/<dir> python -m pytest
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
sanitize=OFF
suffix=""
if [[ "${2:-}" == "--sanitize" ]]; then sanitize=ON; suffix="-san"; fi
tag=$("$python" -c 'import sys; print("py%d%d" % sys.version_info[:2])')
dir="build/${tag}${suffix}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v "$python")" \
    -DZELVANE_SANITIZE="$sanitize" -DZELVANE_BENCH_EXT=ON >/dev/null
cmake --build "$dir" >&2
echo "$dir"
