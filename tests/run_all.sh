#!/usr/bin/env bash
# Builds and runs every test: the C++ core's tests (GoogleTest through CTest), built with the
# Python modules' own sources, all with -Werror; then the Python package, installed from this
# checkout, and its tests (pytest). The interpreter is $PYTHON, else that of the environment
# .ci/run makes (build/ci-venv), else python3; the package is installed into its environment.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
if [ -z "${PYTHON:-}" ] && [ -x build/ci-venv/bin/python ]; then
  python=$PWD/build/ci-venv/bin/python
fi
build=${ZELNOR_TEST_BUILD:-build/tests}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELNOR_WERROR=ON \
  -DZELNOR_BUILD_TESTS=ON -DZELNOR_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(command -v "$python")" \
  -Dpybind11_DIR="$("$python" -c 'import pybind11; print(pybind11.get_cmake_dir())')"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure

"$python" -m pip install --quiet .
"$python" -m pytest tests/python
