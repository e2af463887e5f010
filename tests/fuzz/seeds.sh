#!/usr/bin/env bash
# Writes small seed inputs for the fuzzer into the folder given: a second or
# less of video and sound in the containers and codecs a host meets most.
set -euo pipefail
out="$1"
mkdir -p "$out"
gen() {
  local name="$1"; shift
  [ -s "$out/$name" ] || ffmpeg -nostdin -v error -y "$@" "$out/$name"
}
v="-f lavfi -i testsrc2=size=64x48:rate=10:duration=1"
a="-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1"
gen h264_aac.mp4 $v $a -c:v libx264 -preset ultrafast -g 5 -c:a aac -shortest -movflags +faststart
gen h264.ts $v -c:v libx264 -preset ultrafast -g 5 -f mpegts
gen vp9_opus.webm $v -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -c:v libvpx-vp9 -deadline realtime -c:a libopus -shortest
gen mpeg4_mp3.avi $v $a -c:v mpeg4 -c:a libmp3lame -shortest
gen ffv1_flac.mkv $v $a -c:v ffv1 -c:a flac -shortest
gen pcm.wav $a -c:a pcm_s16le
gen raw.y4m -f lavfi -i testsrc2=size=32x24:rate=5:duration=1 -pix_fmt yuv420p
