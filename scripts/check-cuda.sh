#!/usr/bin/env bash
# CUDA decoding end to end, on a machine with an NVIDIA GPU and its driver:
# builds the plug-in and qvx-play, then plays a generated 1280x720 H.264 clip
# with hw_device "cuda" in each output format and checks that the hardware
# decoder was used, that every frame arrived and that no download failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-cuda -DCMAKE_BUILD_TYPE=Release -DQVX_BUILD_TESTS=OFF -DQVX_BUILD_BENCH=OFF >/dev/null
cmake --build build-cuda -j"$(nproc)" --target qvx-play plugin_qvx_ffmpeg_x64

clip=build-cuda/cuda-check.mp4
[ -s "$clip" ] || ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30:duration=4 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p "$clip"
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$clip")

status=0
for format in nv12 yuv420p rgb24; do
  log=build-cuda/cuda-$format.log
  json=build-cuda/cuda-$format.json
  SDL_AUDIODRIVER=dummy build-cuda/tools/qvx-play --headless --no-audio --hw cuda --format "$format" \
    --json --log "$log" "$clip" > "$json" || true
  displayed=$(python3 -c "import json,sys; print(json.load(open('$json'))['blocks'][0]['frames']['displayed'])" 2>/dev/null || echo 0)
  problems=()
  grep -q "hardware decoder initialized for file" "$log" || problems+=("hardware decoder not initialized")
  grep -q "av_hwframe_transfer_data ERR" "$log" && problems+=("frame downloads failed")
  [ "$displayed" = "$frames" ] || problems+=("$displayed of $frames frames displayed")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "cuda $format: ok ($displayed frames)"
  else
    echo "cuda $format: FAILED: ${problems[*]} (see $log)"
    status=1
  fi
done
exit $status
