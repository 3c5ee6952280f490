#!/usr/bin/env bash
# Builds zelvane and runs the tests against every CPython 3.9 to 3.13 that
# pyenv has installed, each in its own virtual environment under build/.
# Usage: scripts/test-all-pythons.sh [pytest arguments...]
# Exits non-zero when any interpreter fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=${PYENV_ROOT:-$HOME/.pyenv}
results=()
status=0
for minor in 9 10 11 12 13; do
    python=$(ls -d "$root"/versions/3."$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1)
    if [[ -z "$python" ]]; then
        results+=("3.$minor: not installed")
        continue
    fi
    version=$("$python" -c 'import platform; print(platform.python_version())')
    venv="build/venv-$version"
    log="build/test-$version.log"
    mkdir -p build
    echo "== CPython $version ($python); log in $log"
    if "$python" -m venv --clear "$venv" >"$log" 2>&1 &&
        "$venv/bin/python" -m pip install --quiet --upgrade pip >>"$log" 2>&1 &&
        "$venv/bin/python" -m pip install --quiet '.[test]' >>"$log" 2>&1; then
        if (cd tests && "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") >>"$log" 2>&1; then
            results+=("$version: pass ($(tail -n 1 "$log"))")
        else
            results+=("$version: FAIL ($(tail -n 1 "$log"))")
            status=1
        fi
    else
        results+=("$version: FAIL (could not install; see $log)")
        status=1
    fi
done
echo
echo "Summary:"
printf '  %s\n' "${results[@]}"
exit $status
