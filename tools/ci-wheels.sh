#!/usr/bin/env bash
# CI's wheel step: builds one wheel of each width (CPython 3.11 on x86_64 and on i686) with
# tools/build-wheels.sh and checks each in a fresh venv with no compiler (tools/check-wheel.sh).
set -uo pipefail
cd "$(dirname "$0")/.."

bash tools/build-wheels.sh 3.11 3.11-i686 || exit 1
pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo /root/.pyenv)}
x86_64=$(ls -d "$pyenv_root"/versions/3.11.*/bin/python3.11 2>/dev/null | sort -V | tail -n 1)
[ -n "$x86_64" ] || x86_64=$(command -v python3.11)
passed=0 failed=0
for check in "$x86_64:x86_64" "build/wheels/python3.11-i686:i686"; do
  interpreter=${check%:*} arch=${check##*:}
  wheel=$(ls wheelhouse/zelnor-*-cp311-cp311-*manylinux_2_17_"$arch".whl)
  if bash tools/check-wheel.sh "$interpreter" "$wheel"; then
    passed=$((passed + 1))
  else
    echo "ci-wheels: $wheel FAILED its round trip"
    failed=$((failed + 1))
  fi
done
echo "wheels: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
