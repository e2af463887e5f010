#!/usr/bin/env bash
# Mutation check of the test suite: applies each fault below, one at a time,
# to a scratch copy of src/, rebuilds what it touches and runs the tests that
# should notice it. A fault the tests miss "survives".
#
#   scripts/mutants.sh                  every fault, on HEAD
#   scripts/mutants.sh --only 1,5,9     some of them
#   scripts/mutants.sh --rev REV        src/ and tests of REV
#   scripts/mutants.sh --tests-from REV2 the test suites of REV2 over REV's src/
#                                       (compares two suites on the same code)
#   ... --test-files "F1 F2"            with --tests-from: only these files of
#                                       REV2 (others' test changes may need
#                                       a newer src/)
#   scripts/mutants.sh --fresh          forget earlier results of this run
#   scripts/mutants.sh --patterns       only check that each fault applies
#
# The copy is a detached git worktree (/tmp/qvx-mutants), built in
# build-mutants/; the working tree is never touched. Results are kept in
# build-mutants/mutants-<src>-<tests>.tsv, so a run that was stopped goes on
# where it left off. Each fault: one file recompiled, the plug-in relinked,
# one test program run with a filter.
#
# Each fault is a perl substitution (whole file in one string, so a pattern
# may span lines) that must match exactly once: a fault whose line moved or
# changed is reported "no-match" rather than silently skipped. Patterns name a
# distinctive line, never a line number.
set -uo pipefail

repo="${QVX_MUTANTS_REPO:-$(cd "$(dirname "$0")/.." && pwd)}"
rev=HEAD
tests_from=""
test_files=""
only=""
fresh=0
patterns_only=0
test_timeout_s=${QVX_MUTANT_TEST_TIMEOUT_S:-420}
while [ $# -gt 0 ]; do
    case "$1" in
        --rev) rev="$2"; shift 2 ;;
        --tests-from) tests_from="$2"; shift 2 ;;
        --test-files) test_files="$2"; shift 2 ;;
        --only) only=",$2,"; shift 2 ;;
        --fresh) fresh=1; shift ;;
        --patterns) patterns_only=1; shift ;;
        *) sed -n '2,14p' "$0"; exit 2 ;;
    esac
done

ids=() files=() subs=() bins=() filters=() names=()
# fault ID FILE PERL-SUBSTITUTION TEST-PROGRAM GTEST-FILTER "WHAT GOES WRONG"
fault() {
    ids+=("$1") files+=("$2") subs+=("$3") bins+=("$4") filters+=("$5") names+=("$6")
}

# ---- pacing and the picture --------------------------------------------------
fault 1 src/pipeline/video_decode.cpp \
    's/if \(delay <= 0\.0\) return PaceResult::due;/if (delay <= 1.0) return PaceResult::due;/' \
    pipeline_tests '*Pacing.*:*Start.*' "pacing: frames up to a second early are due"
fault 2 src/block/playback_clock.cpp \
    's/(clock\.frame_timer \+ static_cast<double>\(static_cast<float>\(e\)\));/$1 * 1.5;/' \
    pipeline_tests '*Pacing.*' "pacing clock runs fast"
fault 3 src/pipeline/video_decode.cpp \
    's/(av_q2d\(block->facts.video_stream->time_base\)) -\s*block->facts.media_start_seconds;/$1;/' \
    pipeline_tests '*Start.*:Seek.CountsFromTheFirstFrame*' "video start time not subtracted"
fault 4 src/pipeline/video_decode.cpp \
    's/if \(step > max_frame_step_s \|\| step < -max_frame_step_back_s\) \{/if (step > max_frame_step_s) {/' \
    pipeline_tests '*TimestampJump.*' "backward timestamp jump not folded out"
fault 5 src/pipeline/video_decode.cpp \
    's/if \(t \+ seek_target_tolerance_s < target\) return true;/if (false) return true;/' \
    pipeline_tests '*SeekWhilePlaying.*' "frames before a seek target shown"
fault 6 src/block/audio_video_block.h \
    's/constexpr int max_refused_video_packets = 100;/constexpr int max_refused_video_packets = 1;/' \
    pipeline_tests 'Playback.DamagedPacket*' "one damaged packet ends the video"
fault 7 src/pipeline/video_decode.cpp \
    's/(if \(packet == flush_packet\(\)\) \{\s*)loop\.flush\(\);/$1/' \
    pipeline_tests '*SeekWhilePlaying.*' "decoder not flushed at its flush marker"
fault 8 src/pipeline/video_decode.cpp \
    's/if \(must_leave\(block\)\) return PaceResult::stale;/if (block->video.stop) return PaceResult::stale;/' \
    pipeline_tests '*SeekWhilePlaying.*:Seek.WhilePaused*' "pacing waits out a frame across a seek"
# ---- seeking ------------------------------------------------------------------
fault 9 src/pipeline/seek.cpp \
    's/const uint32_t serial = \+\+block->handover.serial;/const uint32_t serial = block->handover.serial;/' \
    pipeline_tests '*SeekWhilePlaying.*' "no serial bump at a repositioning"
fault 10 src/pipeline/seek.cpp \
    's/^(\s*)block->video.decoding\.flush\(\);/$1;/m' \
    pipeline_tests '*SeekWhilePlaying.*' "video decoder not flushed at a seek"
fault 11 src/pipeline/seek.cpp \
    's/block->controls.seek_requested = true;/block->controls.seek_requested = false;/' \
    pipeline_tests '*SeekWhilePlaying.*' "seek request lost"
fault 12 src/pipeline/seek.cpp \
    's/std::llround\(\(seconds \+ block->facts.media_start_seconds\) \* AV_TIME_BASE\)/std::llround(seconds * AV_TIME_BASE)/' \
    pipeline_tests 'Seek.CountsFromTheFirstFrame*' "seek target not moved by the start time"
fault 13 src/pipeline/seek.cpp \
    's/if \(!loop_pass\) \{/if (true) {/' \
    pipeline_tests 'Playback.LoopingBlock*' "a loop drops the last pictures of the pass"
fault 14 src/pipeline/seek.cpp \
    's/if \(seconds < 0 \|\| seconds >= block->facts.duration_seconds\) return 0;/if (seconds < 0 || seconds > block->facts.duration_seconds) return 0;/' \
    texture_tests 'BlockQueries.SeekBlockClamps*' "seek to the duration not wrapped to 0"
# ---- the reader -------------------------------------------------------------------
fault 15 src/pipeline/reader_thread.cpp \
    's/if \(!block->reader.input_ended && everything_out\(\)\) block->reader.input_ended = true;/;/' \
    pipeline_tests 'Playback.NonLoopingBlock*' "end of input never flagged"
fault 16 src/pipeline/reader_thread.cpp \
    's/^(\s*)queue_drain_markers\(block, st\);/$1;/m' \
    pipeline_tests '*Pacing.*' "decoders not drained at the end of input"
fault 17 src/pipeline/reader_thread.cpp \
    's/if \(before_audio_target\(block, packet, st\.audio_skip_until\)\) \{/if (false) {/' \
    pipeline_tests '*SeekWhilePlaying.*' "sound before a seek target played"
fault 18 src/pipeline/reader_thread.cpp \
    's/(block->reader.seeking = true;\s*\/\/[^\n]*\n\s*\/\/[^\n]*\n\s*)block->controls.seek_requested = false;/$1/' \
    pipeline_tests '*SeekWhilePlaying.*' "seek request never cleared"
# ---- packet queue ------------------------------------------------------------------
fault 19 src/block/packet_queue.cpp \
    's/(AVPacket\* PacketQueue::pop\(uint32_t\* serial\) \{\s*AVPacket\* packet = nullptr;\s*\{\s*)MutexLock guard\(lock_\);/$1/' \
    unit_tests 'PacketQueue.*' "queue pop without the lock"
fault 20 src/block/packet_queue.cpp \
    's/if \(serial\) \*serial = packet_serial;/;/' \
    unit_tests 'PacketQueue.*' "pop loses the packet's serial"
fault 21 src/block/packet_queue.cpp \
    's/if \(!is_marker\(packet\)\) bytes -= /if (false) bytes -= /' \
    unit_tests 'PacketQueue.*' "queued bytes never go down"
# ---- texture side and conversion ----------------------------------------------------
fault 22 src/texture/texture_update.cpp \
    's/!= nullptr && frame_is_stale\(block, entry\)\)/!= nullptr \&\& false)/' \
    pipeline_tests '*SeekWhilePlaying.*' "stale frames not dropped at the texture update"
fault 23 src/pipeline/convert.cpp \
    's/case AV_PIX_FMT_YUV420P: p = \{3, \{w, w \/ 2, w \/ 2\}/case AV_PIX_FMT_YUV420P: p = {3, {w, (w + 1) \/ 2, (w + 1) \/ 2}/' \
    texture_tests '*Conversion.*' "wrong chroma plane width"
fault 24 src/pipeline/convert.cpp \
    's/const int\* coefficients = matrix_coefficients\(src->colorspace\);/const int* coefficients = matrix_coefficients(AVCOL_SPC_UNSPECIFIED);/' \
    texture_tests '*Conversion.*' "source colour matrix not passed on"
fault 25 src/texture/texture_update.cpp \
    's/planes\[1\] = \{w >> 1, h >> 1, texture_format_rg8\};/planes[1] = {w, h >> 1, texture_format_rg8};/' \
    texture_tests '*Conversion.*' "nv12 chroma plane written too wide"
# ---- sound ---------------------------------------------------------------------------
fault 26 src/audio/audio_callback.cpp \
    's/return static_cast<int>\(volume \* volume_scale\);/return static_cast<int>(volume * volume_scale \/ 2);/' \
    audio_tests 'AudioCapture.Volume*' "volume scaled wrong"
fault 27 src/audio/audio_decode.cpp \
    's/if \(block->audio.sound\.swr_ctx == nullptr \|\| !same_input\(block, frame\)\) \{/if (block->audio.sound.swr_ctx == nullptr) {/' \
    unit_tests 'SoundPath.*' "resampler not rebuilt when the input changes"
fault 28 src/audio/audio_callback.cpp \
    's/if \(block->audio.stop \|\| block->controls.paused \|\| repositioning\(block\)\) \{/if (block->audio.stop || repositioning(block)) {/' \
    audio_tests 'AudioCapture.Paused*' "a paused block keeps playing its sound"
fault 29 src/audio/audio_decode.cpp \
    's/(void restart_sound\(AudioVideoBlock\* block\)[^{]*\{\s*)block->audio.decoding\.flush\(\);/$1/' \
    unit_tests 'SoundPath.*' "audio decoder not flushed at a seek"
fault 30 src/plugin/plugin_operations.cpp \
    's/block->controls.volume = std::clamp\(volume, 0\.0f, 1\.0f\);/block->controls.volume = volume;/' \
    audio_tests 'AudioCapture.Volume*' "volume not clamped"
# ---- open and inputs -----------------------------------------------------------------
fault 31 src/media/open_media.cpp \
    's/^\s*av_dict_set\(inout_ptr\(options\), \"protocol_whitelist\", [^\n]*\n//m' \
    reliability_tests '*RefusedName*:HostileInput.Whitelist*' "protocol whitelist not given to FFmpeg"
fault 32 src/media/input_policy.cpp \
    's/if \(allowed\.count\(protocol\) == 0\)/if (false)/' \
    reliability_tests '*RefusedName*:HostileInput.Whitelist*' "names not checked against the whitelist"
fault 33 src/media/open_media.cpp \
    's/block->facts.video_rotation = static_cast<float>\(rotation\);/;/' \
    media_tests '*Opens.*Rotated*' "rotation not read"
fault 34 src/plugin/block_queries.cpp \
    's/constexpr int64_t duration_rounding_us = 5000;/constexpr int64_t duration_rounding_us = 0;/' \
    texture_tests 'BlockQueries.Duration*' "duration rounded down"

if [ "$patterns_only" = 1 ]; then
    scratch="$(mktemp -d)"
    bad=0
    for i in "${!ids[@]}"; do
        mkdir -p "$scratch/$(dirname "${files[$i]}")"
        git -C "$repo" show "$rev:${files[$i]}" >"$scratch/${files[$i]}"
        if ! perl -0777 -i -pe "\$n = (${subs[$i]}g); END { exit(\$n == 1 ? 0 : 3) }" "$scratch/${files[$i]}"; then
            echo "fault ${ids[$i]} does not apply once to ${files[$i]}"; bad=1
        fi
    done
    rm -rf "$scratch"
    exit "$bad"
fi

mkdir -p "$repo/build-mutants"
tree=/tmp/qvx-mutants
build="$repo/build-mutants"
src_rev="$(git -C "$repo" rev-parse --short "$rev")"
tests_rev="$src_rev"
[ -n "$tests_from" ] && tests_rev="$(git -C "$repo" rev-parse --short "$tests_from")"
results="$build/mutants-$src_rev-$tests_rev.tsv"
[ "$fresh" = 1 ] && rm -f "$results"
touch "$results"

if [ ! -d "$tree/.git" ] && [ ! -f "$tree/.git" ]; then
    git -C "$repo" worktree add --detach "$tree" "$src_rev" >/dev/null || exit 1
fi
git -C "$tree" checkout -q --force --detach "$src_rev" || exit 1
git -C "$tree" clean -fdq -- tests
if [ -n "$tests_from" ]; then
    # The suites of the later revision; the support library stays the one
    # its src/ was tested with.
    if [ -n "$test_files" ]; then
        for file in $test_files; do
            rm -f "${tree:?}/$file"
            git -C "$repo" show "$tests_from:$file" >"$tree/$file" 2>/dev/null || rm -f "$tree/$file"
        done
    else
        for dir in tests/audio tests/block tests/media tests/pipeline tests/plugin \
            tests/reliability tests/texture; do
            rm -rf "${tree:?}/$dir"
            git -C "$repo" archive "$tests_from" "$dir" | tar -x -C "$tree"
        done
        git -C "$repo" show "$tests_from:tests/CMakeLists.txt" >"$tree/tests/CMakeLists.txt"
    fi
fi

cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVX_BUILD_BENCH=OFF \
    -DQVX_BUILD_TOOLS=OFF >/dev/null || exit 1
echo "building the unchanged tree in $build ..."
nice -n 5 cmake --build "$build" -j2 >"$build/mutants-build.log" 2>&1 || {
    tail -20 "$build/mutants-build.log"; exit 1; }

for i in "${!ids[@]}"; do
    id="${ids[$i]}"
    [ -n "$only" ] && [[ "$only" != *",$id,"* ]] && continue
    grep -q "^$id	" "$results" && continue
    file="${files[$i]}" bin="${bins[$i]}" filter="${filters[$i]}"
    git -C "$tree" checkout -q "$src_rev" -- src
    start=$(date +%s)
    # g: every match is counted, so that a second one is noticed.
    if ! perl -0777 -i -pe "\$n = (${subs[$i]}g); END { exit(\$n == 1 ? 0 : 3) }" "$tree/$file"; then
        verdict=no-match
    elif ! nice -n 5 cmake --build "$build" --target plugin_qvx_ffmpeg_x64 "$bin" -j2 \
            >"$build/mutant-$id.log" 2>&1; then
        verdict=no-build
    elif SDL_AUDIODRIVER=dummy timeout "$test_timeout_s" nice -n 5 "$build/tests/$bin" \
            --gtest_filter="$filter" --gtest_fail_fast >>"$build/mutant-$id.log" 2>&1; then
        if grep -q "^\[  PASSED  \] 0 tests" "$build/mutant-$id.log"; then verdict=no-tests; else verdict=survived; fi
    else
        verdict=killed
    fi
    printf '%s\t%s\t%ss\t%s\t%s\t%s\n' "$id" "$verdict" "$(($(date +%s) - start))" "$bin" "$filter" \
        "${names[$i]}" | tee -a "$results"
done
# The tree goes back to its state, so that its objects match the sources.
git -C "$tree" checkout -q "$src_rev" -- src

echo
echo "src $src_rev, tests $tests_rev:"
column -t -s '	' "$results" | sort -n
total=$(wc -l <"$results")
killed=$(grep -c '	killed	' "$results")
echo "killed $killed of $total"
grep -v '	killed	' "$results" | cut -f1,2,6 | sed 's/^/not killed: /'
