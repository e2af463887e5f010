#!/usr/bin/env bash
# One step from a fresh Debian 12 checkout to the plug-in playing: installs
# what is missing, builds (release) into build/, and plays the default
# sample with qvx-play, writing a snapshot to build/snapshot.png. Without a
# display it plays on the terminal. Extra arguments go to qvx-play, e.g.
#   scripts/play.sh --headless --json
#   scripts/play.sh some/video.mp4
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config ffmpeg fonts-dejavu-core
          libavcodec-dev libavdevice-dev libavfilter-dev libavformat-dev libavutil-dev
          libswresample-dev libswscale-dev libsdl2-dev libcli11-dev nlohmann-json3-dev)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
fi

# A build folder configured before keeps its settings.
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQVX_BUILD_TESTS=OFF -DQVX_BUILD_BENCH=OFF
fi
cmake --build build --parallel "$(nproc)" --target qvx-play

# Where no sound server or sound card is reachable (a container, a CI
# machine), SDL's silent dummy driver stands in, so the run still ends well.
runtime="${XDG_RUNTIME_DIR:-/nonexistent}"
if [ -z "${SDL_AUDIODRIVER:-}" ] && [ ! -e /dev/snd ] && [ -z "${PULSE_SERVER:-}" ] &&
   [ ! -S "$runtime/pulse/native" ] && [ ! -S "$runtime/pipewire-0" ]; then
    echo "No sound device found: the sound goes to SDL's silent dummy driver."
    export SDL_AUDIODRIVER=dummy
fi

exec build/tools/qvx-play --snapshot 5:build/snapshot.png "$@"
