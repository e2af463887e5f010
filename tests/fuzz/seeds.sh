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
gen cover_art.mp3 $a -f lavfi -i testsrc2=size=32x32:rate=1:duration=1 -map 0:a -map 1:v -c:a libmp3lame -c:v mjpeg -frames:v 1 -disposition:v:0 attached_pic
# Streams declaring 7 bits per pixel or sample: their decoders do not open,
# and the other stream must play on alone.
seven_bits() {  # file, then the stream kinds to damage (vids, auds)
  python3 - "$@" <<'PY'
import sys
path, kinds = sys.argv[1], sys.argv[2:]
data = bytearray(open(path, 'rb').read())
at = data.find(b'strh')
while at >= 0:
    fmt = data.find(b'strf', at)
    if data[at + 8:at + 12].decode('latin-1') in kinds and fmt >= 0:
        data[fmt + 22:fmt + 24] = b'\x07\x00'
    at = data.find(b'strh', at + 4)
open(path, 'wb').write(data)
PY
}
if [ ! -s "$out/raw7_pcm.avi" ]; then
  gen raw7_pcm.avi $v $a -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le -shortest
  seven_bits "$out/raw7_pcm.avi" vids
fi
if [ ! -s "$out/mpeg4_adpcm7.avi" ]; then
  gen mpeg4_adpcm7.avi $v $a -c:v mpeg4 -c:a adpcm_ima_wav -shortest
  seven_bits "$out/mpeg4_adpcm7.avi" auds
fi
