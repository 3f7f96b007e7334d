#!/usr/bin/env bash
# Installs one wheel into a fresh venv where no compiler can run, and runs an exact round trip
# through it (tools/wheel_round_trip.py): zelnor_core in several processes, drained exactly, and
# zelnor_client through zelnor-exporter.
#
#   bash tools/check-wheel.sh INTERPRETER WHEEL
#
# Every compiler name is shadowed on PATH by a script that fails, and CC and CXX are `false`, so
# that an install that tried to build from source would fail rather than pass unnoticed.
set -euo pipefail
cd "$(dirname "$0")/.."

interpreter=$1
wheel=$(realpath "$2")
work=$(mktemp -d /tmp/zelnor-wheel-check-XXXXXX)
trap 'rm -rf "$work"' EXIT

mkdir "$work/masked"
for tool in cc c++ gcc g++ clang clang++ cpp ld x86_64-linux-gnu-gcc x86_64-linux-gnu-g++ \
  i686-linux-gnu-gcc i686-linux-gnu-g++ cmake ninja zig; do
  printf '#!/bin/sh\necho "%s: no compiler may run here" >&2\nexit 1\n' "$tool" > "$work/masked/$tool"
done
chmod +x "$work/masked"/*
export PATH=$work/masked:$PATH CC=false CXX=false

"$interpreter" -m venv "$work/venv"
# Binaries only: prometheus_client's wheel from PyPI and this wheel, never a source build.
"$work/venv/bin/python" -m pip install --quiet --only-binary :all: "$wheel"
# Run from outside the checkout, so that nothing of the source tree is imported.
(cd "$work" && "$work/venv/bin/python" "$OLDPWD/tools/wheel_round_trip.py")
