#!/usr/bin/env bash
# Fuzzes the plug-in with libFuzzer (Debian's clang) on mutated media.
#   scripts/fuzz.sh [SECONDS] [TARGET]
#     TARGET fuzz_block (default): whole blocks, untimed, through texture
#            updates, a seek, a pause, a rewind and their destruction
#     TARGET fuzz_audio: the same inputs through audio decoding and
#            resampling, without a device
#   Runs for SECONDS (default 1800); findings go to build-fuzz/findings/,
#   new inputs to build-fuzz/corpus-TARGET.
# The corpus starts from small generated clips (tests/fuzz/seeds.sh), the
# merged corpus of earlier runs (tests/fuzz/corpus) and the regressions.
# To refresh tests/fuzz/corpus after runs (kept to a few hundred KB: inputs
# under 6 KB, merged by both targets):
#   mkdir SMALL NEW && find tests/fuzz/corpus build-fuzz/corpus-* -type f -size -6k \
#     -exec cp {} SMALL/ \;
#   build-fuzz/fuzz_block -merge=1 NEW SMALL && build-fuzz/fuzz_audio -merge=1 NEW SMALL
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-1800}"
target="${2:-fuzz_block}"
case "$target" in
  fuzz_block|fuzz_audio) ;;
  *) echo "unknown target $target (fuzz_block or fuzz_audio)" >&2; exit 2 ;;
esac
QVX_WITH_SANITIZERS=1 scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQVX_FUZZ=ON -DQVX_BUILD_TESTS=OFF -DQVX_BUILD_TOOLS=OFF -DQVX_BUILD_BENCH=OFF \
  -DQVX_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "$target"
corpus="build-fuzz/corpus-$target"
mkdir -p "$corpus" build-fuzz/findings
tests/fuzz/seeds.sh "$corpus"
cp -n tests/fuzz/corpus/* tests/fuzz/regressions/* "$corpus"/ 2>/dev/null || true
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
"build-fuzz/$target" "$corpus" -max_total_time="$seconds" -max_len=262144 -timeout=10 \
  -rss_limit_mb=4096 -artifact_prefix="build-fuzz/findings/$target-" -print_final_stats=1
