#!/usr/bin/env bash
# Installs what the tests need when it is missing, builds the engine and runs
# every test: the engine's suites under ctest, then installs the package quarn
# from this tree and runs the Python tests under pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

# GoogleTest comes from Debian's packages; the rest from PyPI.
if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install libgtest-dev (as root: apt-get install libgtest-dev)" >&2
    exit 1
  fi
fi
python3 -m pip install -q --root-user-action=ignore -r requirements-dev.txt

jobs=$(nproc)
# QUARN_PYTHON also builds quarn_probe, the test-only module the Python tests use.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_TESTS=ON -DQUARN_PYTHON=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
# The package as a user installs it (its build directory, build-py/, is kept,
# so a second run recompiles only what changed).
python3 -m pip install -q --root-user-action=ignore --no-build-isolation .
QUARN_PROBE_DIR="$PWD/build" python3 -m pytest -q tests
