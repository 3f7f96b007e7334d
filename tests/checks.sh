#!/usr/bin/env bash
# The reliability checks beyond the default tests. Each takes a few minutes at most:
#
#   bash tests/checks.sh sanitizers   C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#                                     and the in-process concurrency tests under ThreadSanitizer
#   bash tests/checks.sh m32          the core and its tests built with g++ -m32, and records
#                                     exchanged between 32-bit and 64-bit processes both ways
#   bash tests/checks.sh fuzz [SECS]  the queue-file and declaration-file fuzzers (libFuzzer, ASan,
#                                     UBSan), SECS each
#   bash tests/checks.sh stress [SECS]
#   bash tests/checks.sh hostile
#   bash tests/checks.sh all
#
# Needs g++-multilib, clang and libclang-rt-14-dev besides what tests/run_all.sh needs (.ci/run
# installs them), and the package installed for the stress and hostile runs. Every build is
# described by CMakeLists.txt; this script only chooses its options.
set -euo pipefail
cd "$(dirname "$0")/.."

configure() {  # build dir, then extra cmake arguments
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELNOR_BUILD_TESTS=ON \
    -DZELNOR_BUILD_PYTHON=OFF -DZELNOR_WERROR=ON "$@" >/dev/null
  cmake --build "$dir"
}

sanitizers() {
  configure build/asan -DZELNOR_SANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ./build/asan/tests/cpp/zelnor_tests
  # ThreadSanitizer cannot see ordering through two mappings of one file or across fork(), so
  # it runs the tests whose threads share memory within one process only.
  configure build/tsan -DZELNOR_SANITIZE=thread
  TSAN_OPTIONS=halt_on_error=1 ./build/tsan/tests/cpp/zelnor_tests \
    --gtest_filter='InProcessConcurrency.ThreadsRecording*:InProcessConcurrency.ConsumersRacing*:NameClash.*:Collector.*:Watcher.*'
}

m32() {
  # Debian's GoogleTest libraries are 64-bit only: build it from its sources for -m32.
  local gtest=build/gtest-m32
  if [ ! -f "$gtest/install/lib/libgtest.a" ]; then
    cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DBUILD_GMOCK=OFF \
      -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 -DCMAKE_INSTALL_PREFIX="$PWD/$gtest/install" \
      >/dev/null
    cmake --build "$gtest/build" --target install >/dev/null
  fi
  configure build/m32 -DCMAKE_CXX_FLAGS=-m32 -DGTest_ROOT="$PWD/$gtest/install"
  file build/m32/tests/cpp/zelnor_tests | grep -q "ELF 32-bit"
  ./build/m32/tests/cpp/zelnor_tests
  configure build/m64
  local dir
  dir=$(mktemp -d /tmp/zelnor-exchange-XXXXXX)
  ./build/m32/tests/cpp/zelnor_exchange produce "$dir" 900
  ./build/m64/tests/cpp/zelnor_exchange consume "$dir" 900
  ./build/m64/tests/cpp/zelnor_exchange produce "$dir" 900
  ./build/m32/tests/cpp/zelnor_exchange consume "$dir" 900
  rm -rf "$dir"
  echo "32-bit and 64-bit exchange: 2 passed, 0 failed"
}

fuzz() {
  local seconds=${1:-60}
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELNOR_BUILD_PYTHON=OFF -DZELNOR_BUILD_FUZZER=ON -DZELNOR_SANITIZE=address,undefined \
    >/dev/null
  cmake --build build/fuzz --target zelnor_queue_file_fuzzer zelnor_declaration_fuzzer
  mkdir -p build/fuzz/corpus
  cp tests/fuzz/corpus/* build/fuzz/corpus/
  ./build/fuzz/zelnor_queue_file_fuzzer -max_total_time="$seconds" -max_len=80000 \
    -rss_limit_mb=4096 -print_final_stats=1 build/fuzz/corpus 2>&1 | tail -n 12
  fuzz_declarations "$seconds"
}

fuzz_declarations() {  # the declaration-file fuzzer alone, on a build/fuzz made by fuzz
  mkdir -p build/fuzz/declaration_corpus
  cp tests/fuzz/declaration_corpus/* build/fuzz/declaration_corpus/
  ./build/fuzz/zelnor_declaration_fuzzer -max_total_time="$1" -max_len=70000 \
    -rss_limit_mb=4096 -print_final_stats=1 build/fuzz/declaration_corpus 2>&1 | tail -n 12
}

stress() {
  python3 tests/stress/stress.py --seconds "${1:-60}" > build/stress.log
  grep -v '^ERROR: ' build/stress.log
}

hostile() {
  mkdir -p build
  python3 tests/stress/hostile.py > build/hostile.log
  grep -v '^ERROR: ' build/hostile.log
  echo "lines written by the consumer, by kind:"
  grep '^ERROR: ' build/hostile.log | sed -E 's/[0-9]+/N/g' | sort | uniq -c | sort -rn
}

case "${1:-all}" in
  sanitizers) sanitizers ;;
  m32) m32 ;;
  fuzz) fuzz "${2:-60}" ;;
  stress) mkdir -p build && stress "${2:-60}" ;;
  hostile) hostile ;;
  all)
    sanitizers
    m32
    fuzz 60
    mkdir -p build && stress 60
    hostile
    ;;
  *) echo "unknown check: $1" >&2; exit 2 ;;
esac
