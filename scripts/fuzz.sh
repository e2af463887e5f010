#!/usr/bin/env bash
# Fuzzes the plug-in with libFuzzer (Debian's clang) on mutated media.
#   scripts/fuzz.sh [SECONDS] [TARGET] [WORKERS]
#     TARGET fuzz_block (default): whole blocks, untimed, through texture
#            updates, a seek, a pause, a rewind and their destruction
#     TARGET fuzz_audio: the same inputs through audio decoding and
#            resampling, without a device
#     WORKERS (default: the number of cores) fuzzing processes sharing one
#            corpus. The first is built with ASan + UBSan; the others with
#            UBSan only, several times faster (under ASan most of an input's
#            time goes to FFmpeg's large zeroed allocations, each mapped
#            afresh). Each new input a fast worker keeps is picked up and run
#            by the ASan worker within a second, and the whole corpus is run
#            under ASan once more at the end, so every kept input has been
#            checked for memory faults.
#   Runs for SECONDS (default 1800); findings go to build-fuzz/findings/,
#   new inputs to build-fuzz/corpus-TARGET; the executions of all workers
#   are summed at the end.
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
workers="${3:-$(nproc)}"
case "$target" in
  fuzz_block|fuzz_audio) ;;
  *) echo "unknown target $target (fuzz_block or fuzz_audio)" >&2; exit 2 ;;
esac
[[ "$workers" =~ ^[1-9][0-9]*$ ]] || { echo "WORKERS must be a positive number" >&2; exit 2; }
QVX_WITH_SANITIZERS=1 scripts/install-deps.sh

build() {  # build-dir sanitizers
  CC=clang CXX=clang++ cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQVX_FUZZ=ON -DQVX_BUILD_TESTS=OFF -DQVX_BUILD_TOOLS=OFF -DQVX_BUILD_BENCH=OFF \
    -DQVX_SANITIZE="$2" >/dev/null
  cmake --build "$1" -j"$(nproc)" --target "$target"
}
build build-fuzz address,undefined
((workers == 1)) || build build-fuzz-fast undefined

corpus="build-fuzz/corpus-$target"
logs="build-fuzz/logs-$target"
mkdir -p "$corpus" "$logs" build-fuzz/findings
tests/fuzz/seeds.sh "$corpus"
cp -n tests/fuzz/corpus/* tests/fuzz/regressions/* "$corpus"/ 2>/dev/null || true
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"

pids=()
for ((w = 0; w < workers; ++w)); do
  dir=build-fuzz-fast
  ((w == 0)) && dir=build-fuzz
  "$dir/$target" "$corpus" -max_total_time="$seconds" -max_len=262144 -timeout=10 \
    -rss_limit_mb=4096 -artifact_prefix="build-fuzz/findings/$target-$w-" \
    -print_final_stats=1 >"$logs/worker-$w.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done

# What the last second of the fast workers kept, under ASan too.
echo "running the corpus under ASan once more"
"build-fuzz/$target" "$corpus" -runs=0 -max_len=262144 -timeout=10 -rss_limit_mb=4096 \
  -artifact_prefix="build-fuzz/findings/$target-final-" >"$logs/final.log" 2>&1 || status=1

total=0
for ((w = 0; w < workers; ++w)); do
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/worker-$w.log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$logs/worker-$w.log")
  kind="UBSan"
  ((w == 0)) && kind="ASan+UBSan"
  echo "worker $w ($kind): ${runs:-?} executions, ${added:-?} new units"
  total=$((total + ${runs:-0}))
done
echo "all workers: $total executions in $seconds s ($((total * 60 / seconds)) a minute)"
ls build-fuzz/findings | grep -q . && echo "findings: build-fuzz/findings/" && status=1
((status == 0)) || echo "a worker or the final run failed: see $logs/" >&2
exit "$status"
