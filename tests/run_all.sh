#!/usr/bin/env bash
# Builds and runs every test: the C++ core's tests (GoogleTest through CTest), then the Python
# package, installed from this checkout, and its tests (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${ZELNOR_TEST_BUILD:-build/tests}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELNOR_BUILD_TESTS=ON -DZELNOR_BUILD_PYTHON=OFF -DZELNOR_WERROR=ON
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure

python3 -m pip install --quiet .
python3 -m pytest tests/python
