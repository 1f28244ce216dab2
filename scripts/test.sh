#!/usr/bin/env bash
# Builds the engine and runs every test: the engine's suites under ctest, then
# the Python tests under pytest (no Python tests yet is not a failure).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
if [ -d tests ]; then
  status=0
  python3 -m pytest -q tests || status=$?
  # 5: pytest found no tests, which is not a failure.
  if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then exit "$status"; fi
fi
