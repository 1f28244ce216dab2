#!/usr/bin/env bash
# Installs what the tests need when it is missing, builds the engine and runs
# every test: the engine's suites under ctest, then the Python tests under
# pytest (no Python tests yet is not a failure).
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
python3 -m pip install -q -r requirements-dev.txt

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_TESTS=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
if [ -d tests ]; then
  status=0
  python3 -m pytest -q tests || status=$?
  # 5: pytest found no tests, which is not a failure.
  if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then exit "$status"; fi
fi
