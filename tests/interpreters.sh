#!/usr/bin/env bash
# Builds the package for every interpreter it supports and runs the Python suite under each (all
# but the tests marked `once`, which drive other projects' servers and run in tests/run_all.sh):
#
#   CPython 3.10 (the target) and 3.11     required: pyenv's, under $PYENV_ROOT/versions
#   CPython 3.12 and 3.13                  where present there
#   CPython 3.11, 32-bit x86               required: Debian's libpython3.11:i386 behind a launcher
#                                          built with gcc -m32 (see build_i386 below)
#
# Required means: where CI is "true", ZELNOR_REQUIRE_INTERPRETERS is 1, or pyenv's interpreters
# are there to be found ($PYENV_ROOT/versions exists, as on the CI machine), a missing one fails
# the run. Elsewhere (a plain Debian 12 without pyenv) each missing one is skipped with one line,
# and the run tests those that are there.
#
# Each gets a virtual environment of its own under build/interpreters/, a wheel built with `pip
# wheel` (its tag is checked), and the suite run with ZELNOR_OTHER_PYTHONS naming the others, so
# that the tests also import this interpreter's module into each other one and exchange records
# between the 32-bit and 64-bit interpreters. One summary line per interpreter at the end; exits
# non-zero if any suite failed or a required interpreter is missing.
#
#   bash tests/interpreters.sh          all of them
#   bash tests/interpreters.sh 3.12     the suite under one (all are built, for the cross tests)
#
# Needs what .ci/run installs: g++-multilib, cmake, ninja-build and libpython3.11-dev:i386.
set -uo pipefail
cd "$(dirname "$0")/.."

root=build/interpreters
pyenv_root=${PYENV_ROOT:-/root/.pyenv}
mkdir -p "$root"

# The highest pyenv CPython of a minor version, or nothing.
find_pyenv() {
  local minor=$1
  ls -d "$pyenv_root"/versions/"$minor".*/bin/python"$minor" 2>/dev/null | sort -V | tail -n 1
}

# A 32-bit CPython 3.11: Debian's i386 libpython behind a ten-line launcher.
build_i386() {
  local launcher=$root/python3.11-i386
  if [ ! -x "$launcher" ]; then
    printf '#include <Python.h>\nint main(int argc, char** argv) { return Py_BytesMain(argc, argv); }\n' \
      > "$root/launcher.c"
    gcc -m32 -O2 -I/usr/include/i386-linux-gnu/python3.11 -I/usr/include/python3.11 \
      "$root/launcher.c" -L/usr/lib/i386-linux-gnu -lpython3.11 -o "$launcher" || return 1
  fi
  "$launcher" -c 'import struct, sys; assert struct.calcsize("P") == 4, "not 32-bit"' || return 1
  echo "$launcher"
}

declare -A python=()
for minor in 3.10 3.11 3.12 3.13; do
  found=$(find_pyenv "$minor")
  [ -n "$found" ] && python[$minor]=$found
done
i386=$(build_i386) && python[3.11-i386]=$i386

where() {  # where an interpreter is looked for
  [[ $1 == *i386 ]] && echo "Debian's libpython3.11-dev:i386 behind gcc -m32" ||
    echo "pyenv's, under $pyenv_root/versions"
}
required=false
if [ "${CI:-}" = true ] || [ "${ZELNOR_REQUIRE_INTERPRETERS:-}" = 1 ] ||
  [ -d "$pyenv_root/versions" ]; then
  required=true
fi
missing=()
for name in 3.10 3.11 3.12 3.13 3.11-i386; do
  [ -z "${python[$name]:-}" ] || continue
  if $required && [[ $name == 3.10 || $name == 3.11 || $name == 3.11-i386 ]]; then
    missing+=("$name")
  else
    echo "interpreters: CPython $name skipped: not found ($(where "$name"))"
  fi
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "interpreters: required CPython ${missing[*]} not found (pyenv's under $pyenv_root/versions;" \
    "the 32-bit one needs libpython3.11-dev:i386 and gcc -m32)"
  exit 1
fi

wanted=("$@")
[ ${#wanted[@]} -ne 0 ] || wanted=(3.10 3.11 3.12 3.13 3.11-i386)

# The venvs' pythons, for ZELNOR_OTHER_PYTHONS.
venv_python() { echo "$PWD/$root/venv-$1/bin/python"; }

prepare() {  # name: builds the venv, the wheel, installs it
  local name=$1 interpreter=${python[$1]} venv=$root/venv-$1 flags=()
  # Debian's i386 build names a cross compiler (i686-linux-gnu-g++) that an amd64 machine lacks.
  [[ $name == *i386 ]] && flags=(CC=gcc CXX=g++ CFLAGS=-m32 CXXFLAGS=-m32 LDFLAGS=-m32)
  "$interpreter" -m venv --clear "$venv" || return 1
  "$venv/bin/python" -m pip install --quiet --upgrade pip || return 1
  "$venv/bin/python" -m pip install --quiet "pybind11>=2.13,<2.14" "scikit-build-core>=0.10" \
    pytest mypy prometheus_client gunicorn protobuf cramjam || return 1
  rm -rf "$root/wheels-$name"
  env "${flags[@]}" "$venv/bin/python" -m pip wheel --quiet --no-deps -w "$root/wheels-$name" . \
    || return 1
  local tag expected_arch
  tag=$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  expected_arch=$([[ $name == *i386 ]] && echo "i686" || echo "x86_64")
  local wheel
  wheel=$(ls "$root/wheels-$name"/zelnor-*-"$tag"-"$tag"-*"$expected_arch"*.whl 2>/dev/null)
  if [ -z "$wheel" ]; then
    echo "interpreters: $name built $(ls "$root/wheels-$name"), not a $tag $expected_arch wheel"
    return 1
  fi
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel" || return 1
  echo "$(basename "$wheel")"
}

summary=()
failed=0
for name in $(printf '%s\n' "${!python[@]}" | sort); do
  start=$SECONDS
  if prepare "$name" > "$root/prepare-$name.log" 2>&1; then
    summary+=("$name: built $(tail -n 1 "$root/prepare-$name.log") in $((SECONDS - start)) s")
  else
    summary+=("$name: FAILED to build and install (see $root/prepare-$name.log)")
    tail -n 20 "$root/prepare-$name.log"
    failed=1
    unset "python[$name]"
  fi
done

for name in "${wanted[@]}"; do
  [ -n "${python[$name]:-}" ] || continue
  others=()
  for other in "${!python[@]}"; do
    [ "$other" != "$name" ] && [ -x "$(venv_python "$other")" ] && others+=("$(venv_python "$other")")
  done
  start=$SECONDS
  log=$root/pytest-$name.log
  flags=()
  [[ $name == *i386 ]] && flags=(CC=gcc CXX=g++ CFLAGS=-m32 CXXFLAGS=-m32 LDFLAGS=-m32)
  (IFS=:; env "${flags[@]}" ZELNOR_OTHER_PYTHONS="${others[*]}" "$(venv_python "$name")" -m pytest \
    tests/python -q -p no:cacheprovider -m "not once") > "$log" 2>&1
  status=$?
  result=$(grep -E "^[0-9]+ (passed|failed)|^=+ .*(passed|failed|error)" "$log" | tail -n 1 | tr -d '=')
  version=$("$(venv_python "$name")" -c 'import platform, struct
print("CPython", platform.python_version(), 8 * struct.calcsize("P"), "bit")')
  summary+=("$name ($version): ${result:-no result} [$((SECONDS - start)) s]")
  if [ $status -ne 0 ]; then
    failed=1
    tail -n 40 "$log"
  fi
done

printf '%s\n' "${summary[@]}"
exit $failed
