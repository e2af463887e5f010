#!/usr/bin/env bash
# Sets everything up, builds from the sources and runs the test suite.
#   scripts/test.sh                 plain build in build/
#   scripts/test.sh asan            AddressSanitizer + UndefinedBehaviorSanitizer, build-asan/
#   scripts/test.sh tsan            ThreadSanitizer on the threaded tests, build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-plain}"
case "$variant" in
  plain) dir=build; opts=(); filter=() ;;
  asan) dir=build-asan; opts=(-DQVX_SANITIZE=address,undefined); filter=() ;;
  tsan) dir=build-tsan; opts=(-DQVX_SANITIZE=thread); filter=(-L threaded) ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVX_BUILD_TESTS=ON -DQVX_BUILD_BENCH=OFF "${opts[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
ctest --test-dir "$dir" --output-on-failure -j2 "${filter[@]}"
