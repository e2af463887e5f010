#!/usr/bin/env bash
# One step from a fresh Debian 12 checkout to the plug-in playing: installs
# what is missing, builds (release) into build/, and plays the default
# sample with qvx-play, writing a snapshot to build/snapshot.png. Without a
# display it plays on the terminal. Extra arguments go to qvx-play, e.g.
#   scripts/play.sh --headless --json
#   scripts/play.sh some/video.mp4
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

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
