#!/usr/bin/env bash
# Builds the third-party libraries the plug-in ships with, from Debian's
# source packages, once, into a cache folder outside the checkout:
#   scripts/build-ffmpeg.sh linux     FFmpeg 7.1 for this machine (x86-64 Linux)
#   scripts/build-ffmpeg.sh windows   FFmpeg 7.1 and SDL2 2.32 for x86-64 Windows (mingw-w64)
#   scripts/build-ffmpeg.sh prefix linux|windows   prints the install folder only
#   scripts/build-ffmpeg.sh cache   prints the cache folder (ccache keeps its files there too)
# Each build is installed under a folder named after its versions and recipe
# revision, and is never rebuilt while that folder exists; an interrupted
# build leaves nothing behind that a later run would take for finished.
#
# FFmpeg is configured for LGPL use (no --enable-gpl, nothing non-free), so
# its DLLs may ship beside a closed engine. A player needs no encoder (the
# PNG one aside, for qvx-play's snapshots), muxer, filter or program; every
# decoder, demuxer, parser, protocol and hardware acceleration stays.
set -euo pipefail

ffmpeg_version=7.1.5
ffmpeg_debian_version=7:7.1.5-0+deb13u1
sdl2_version=2.32.4
sdl2_debian_version=2.32.4+dfsg-1
# Bump when the configure flags below change: the cache is keyed on it.
recipe=1

cache="${QVX_DEPS_CACHE:-}"
if [ -z "$cache" ]; then
  if [ -w /var/cache ] || [ -w /var/cache/qvx-deps ]; then cache=/var/cache/qvx-deps
  else cache="${XDG_CACHE_HOME:-$HOME/.cache}/qvx-deps"; fi
fi
linux_prefix="$cache/ffmpeg-$ffmpeg_version-r$recipe-linux-x86_64"
windows_prefix="$cache/ffmpeg-$ffmpeg_version-sdl2-$sdl2_version-r$recipe-windows-x64"
jobs="${QVX_DEPS_JOBS:-$(nproc)}"
host=x86_64-w64-mingw32

usage() { echo "usage: $0 [prefix] linux|windows" >&2; exit 2; }
[ $# -ge 1 ] || usage
if [ "$1" = cache ]; then echo "$cache"; exit 0; fi
if [ "$1" = prefix ]; then
  case "${2:-}" in linux) echo "$linux_prefix" ;; windows) echo "$windows_prefix" ;; *) usage ;; esac
  exit 0
fi
target="$1"
case "$target" in linux|windows) ;; *) usage ;; esac

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The sources come from Debian 13 (trixie); a deb-src entry for it is added
# beside this machine's own Debian entry, with the same mirror and keyring.
add_trixie_sources() {
  local list=/etc/apt/sources.list.d/qvx-trixie-src.sources
  [ -f "$list" ] && return 0
  local uri="http://deb.debian.org/debian" security="http://deb.debian.org/debian-security"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg f u
  for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list; do
    [ -f "$f" ] || continue
    u=$(grep -Eo 'https?://[^ ]*/debian/?( |$)' "$f" | head -1 | tr -d ' ') || true
    [ -n "$u" ] && uri="${u%/}"
    u=$(grep -Eo 'https?://[^ ]*/debian-security/?( |$)' "$f" | head -1 | tr -d ' ') || true
    [ -n "$u" ] && security="${u%/}"
    u=$(grep -Eo 'Signed-By: *[^ ]+' "$f" | head -1 | sed 's/Signed-By: *//') || true
    [ -n "$u" ] && keyring="$u"
  done
  as_root tee "$list" >/dev/null <<EOF
# Source packages of FFmpeg 7.1 and SDL2 2.32 for scripts/build-ffmpeg.sh.
Types: deb-src
URIs: $uri
Suites: trixie trixie-updates
Components: main
Signed-By: $keyring

Types: deb-src
URIs: $security
Suites: trixie-security
Components: main
Signed-By: $keyring
EOF
  as_root apt-get update -qq
}

# Unpacks a source package (with Debian's patches) into $cache/src/<name>.
fetch_source() {
  local package="$1" version="$2" dir="$cache/src/$3"
  [ -f "$dir/.unpacked" ] && return 0
  add_trixie_sources
  mkdir -p "$cache/src"
  rm -rf "$dir"
  (cd "$cache/src" && apt-get source -qq --download-only "$package=$version" >/dev/null 2>&1 ||
     { as_root apt-get update -qq && apt-get source -qq --download-only "$package=$version" >/dev/null; })
  local dsc
  dsc=$(ls "$cache/src/${package}_${version#*:}.dsc")
  dpkg-source --no-check -x "$dsc" "$dir" >/dev/null
  touch "$dir/.unpacked"
}

ffmpeg_configure_flags=(
  --disable-static --enable-shared
  --disable-programs --disable-doc --disable-debug
  --disable-encoders --enable-encoder=png
  --disable-muxers --disable-filters
  --disable-sdl2
)

build_ffmpeg() { # <prefix> <build dir> [extra configure flags...]
  local prefix="$1" build="$2"; shift 2
  mkdir -p "$build"
  (cd "$build" && "$cache/src/ffmpeg/configure" --prefix="$prefix" \
      "${ffmpeg_configure_flags[@]}" "$@" >configure.log 2>&1) ||
    { tail -30 "$build/configure.log" "$build/ffbuild/config.log" >&2; exit 1; }
  nice -n 19 make -C "$build" -j"$jobs" >"$build/make.log" 2>&1 ||
    { tail -40 "$build/make.log" >&2; exit 1; }
  make -C "$build" install >/dev/null
  cp "$cache/src/ffmpeg/COPYING.LGPLv2.1" "$cache/src/ffmpeg/LICENSE.md" "$prefix/share/"
}

build_linux() {
  [ -f "$linux_prefix/.complete" ] && { echo "$linux_prefix"; return 0; }
  install_missing build-essential pkg-config nasm dpkg-dev zlib1g-dev
  fetch_source ffmpeg "$ffmpeg_debian_version" ffmpeg
  local stage="$linux_prefix.partial" build="$cache/build/ffmpeg-linux"
  rm -rf "$stage" "$build"
  echo "Building FFmpeg $ffmpeg_version for Linux (a few minutes)..."
  # The libraries find each other (libavdevice needs libavfilter, which no
  # program links itself) through an rpath to the folder they end up in.
  build_ffmpeg "$stage" "$build" --extra-ldflags="-Wl,-rpath,$linux_prefix/lib"
  sed -i "s|$stage|$linux_prefix|g" "$stage"/lib/pkgconfig/*.pc
  touch "$stage/.complete"
  rm -rf "$linux_prefix" "$build"
  mv "$stage" "$linux_prefix"
  echo "$linux_prefix"
}

build_windows() {
  [ -f "$windows_prefix/.complete" ] && { echo "$windows_prefix"; return 0; }
  install_missing build-essential pkg-config cmake nasm dpkg-dev \
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
  fetch_source ffmpeg "$ffmpeg_debian_version" ffmpeg
  fetch_source libsdl2 "$sdl2_debian_version" sdl2
  local stage="$windows_prefix.partial" build="$cache/build/windows"
  rm -rf "$stage" "$build"
  mkdir -p "$stage/lib" "$stage/include" "$stage/share/licenses" "$build"
  # zlib linked into FFmpeg's DLLs: Debian ships it for mingw only as a
  # static library or as an import library of a DLL it does not ship.
  cp /usr/$host/lib/libz.a "$stage/lib/"
  cp /usr/$host/include/zlib.h /usr/$host/include/zconf.h "$stage/include/"

  echo "Building SDL2 $sdl2_version for Windows..."
  local toolchain
  toolchain="$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64-x86_64.cmake"
  cmake -S "$cache/src/sdl2" -B "$build/sdl2" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$stage" \
    -DSDL_SHARED=ON -DSDL_STATIC=OFF -DSDL_TEST=OFF -DSDL2_DISABLE_SDL2MAIN=OFF \
    >"$build/sdl2-configure.log" 2>&1 || { tail -30 "$build/sdl2-configure.log" >&2; exit 1; }
  nice -n 19 cmake --build "$build/sdl2" -j"$jobs" >"$build/sdl2-make.log" 2>&1 ||
    { tail -40 "$build/sdl2-make.log" >&2; exit 1; }
  cmake --install "$build/sdl2" >/dev/null
  cp "$cache/src/sdl2/LICENSE.txt" "$stage/share/licenses/SDL2-LICENSE.txt"

  echo "Building FFmpeg $ffmpeg_version for Windows (about ten minutes)..."
  # Only the Windows libraries built here count, never this machine's own.
  export PKG_CONFIG_LIBDIR="$stage/lib/pkgconfig"
  build_ffmpeg "$stage" "$build/ffmpeg" \
    --arch=x86_64 --target-os=mingw32 --cross-prefix=$host- \
    --cc=$host-gcc-posix --cxx=$host-g++-posix \
    --pkg-config=pkg-config --pkg-config-flags=--static \
    --extra-cflags="-I$stage/include" --extra-ldflags="-L$stage/lib -static-libgcc"
  cp "$cache/src/ffmpeg/COPYING.LGPLv2.1" "$stage/share/licenses/FFmpeg-COPYING.LGPLv2.1.txt"
  cp "$cache/src/ffmpeg/LICENSE.md" "$stage/share/licenses/FFmpeg-LICENSE.md"
  sed -i "s|$stage|$windows_prefix|g" "$stage"/lib/pkgconfig/*.pc "$stage"/bin/sdl2-config \
    "$stage"/lib/cmake/SDL2/*.cmake 2>/dev/null || true
  touch "$stage/.complete"
  rm -rf "$windows_prefix" "$build"
  mv "$stage" "$windows_prefix"
  echo "$windows_prefix"
}

mkdir -p "$cache"
"build_$target"
