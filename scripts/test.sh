#!/usr/bin/env bash
# Sets everything up, builds from the sources and runs the test suite
# (CMakePresets.json names each build).
#   scripts/test.sh                 plain build in build/
#   scripts/test.sh asan            AddressSanitizer + UndefinedBehaviorSanitizer, build-asan/
#   scripts/test.sh tsan            ThreadSanitizer on the threaded tests, build-tsan/
#   scripts/test.sh ffmpeg7         against FFmpeg 7.1 built from source (cached), build-ff7/
#   scripts/test.sh thread-safety   the plug-in built with clang, its lock annotations checked
#                                   (-Werror=thread-safety), build-thread-safety/; no tests
#   scripts/test.sh windows         Windows cross build, tests under Wine (scripts/build-windows.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-plain}"
case "$variant" in
  plain) preset=default ;;
  asan|tsan|ffmpeg7|thread-safety) preset="$variant" ;;
  windows) exec scripts/build-windows.sh test ;;
  *) echo "usage: $0 [plain|asan|tsan|ffmpeg7|thread-safety|windows]" >&2; exit 2 ;;
esac

if [ "$variant" = thread-safety ]; then export QVX_WITH_CLANG=1; fi
scripts/install-deps.sh
# Compiler output kept between clean clones, beside the cached FFmpeg builds.
export CCACHE_DIR="${CCACHE_DIR:-$(scripts/build-ffmpeg.sh cache)/ccache}"
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-4G}"
if [ "$variant" = ffmpeg7 ]; then
  scripts/build-ffmpeg.sh linux >/dev/null
  QVX_FFMPEG7_PREFIX="$(scripts/build-ffmpeg.sh prefix linux)"
  export QVX_FFMPEG7_PREFIX
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
[ "$variant" = thread-safety ] && exit 0
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}"
ctest --preset "$preset"
