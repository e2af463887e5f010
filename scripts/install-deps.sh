#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and plays with.
# Only what is missing is installed; root or sudo is needed for that.
set -euo pipefail

packages=(
  build-essential cmake pkg-config googletest libgtest-dev
  ffmpeg libavformat-dev libavcodec-dev libavdevice-dev libavutil-dev
  libswscale-dev libswresample-dev libavfilter-dev libpostproc-dev
  libsdl2-dev libcli11-dev nlohmann-json3-dev fonts-dejavu-core ccache
)
# clang: the fuzz targets (with its sanitizer runtimes) and the lock checks.
if [ "${QVX_WITH_CLANG:-0}" = 1 ]; then packages+=(clang); fi
if [ "${QVX_WITH_SANITIZERS:-0}" = 1 ]; then packages+=(clang libclang-rt-14-dev); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
