#!/usr/bin/env bash
# The plug-in as a 64-bit Windows DLL set, cross-built on Debian 12.
#   scripts/build-windows.sh        builds FFmpeg 7.1 and SDL2 for Windows (once,
#                                   cached), the project (preset "windows", in
#                                   build-windows/) and fills dist/windows-x64/
#   scripts/build-windows.sh test   the same, then runs the test suite and
#                                   qvx-play under Wine
# The test media are made on Linux by a Linux build of the same tests
# (scripts/test.sh ffmpeg7 in build-ff7/, run first when its media are missing).
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-build}"
case "$mode" in build|test) ;; *) echo "usage: $0 [build|test]" >&2; exit 2 ;; esac

scripts/install-deps.sh
# Compiler output kept between clean clones, beside the cached FFmpeg builds.
export CCACHE_DIR="${CCACHE_DIR:-$(scripts/build-ffmpeg.sh cache)/ccache}"
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-4G}"
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          nasm libz-mingw-w64-dev googletest dpkg-dev)
[ "$mode" = test ] && packages+=(wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" != 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

scripts/build-ffmpeg.sh windows >/dev/null
QVX_WINDOWS_DEPS="$(scripts/build-ffmpeg.sh prefix windows)"
export QVX_WINDOWS_DEPS

cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)"

dist=dist/windows-x64
rm -rf "$dist"
cmake --install build-windows --prefix "$dist" --strip >/dev/null

# Exactly the two entry points leave the plug-in DLL.
exports=$(x86_64-w64-mingw32-objdump -p "$dist/plugin_qvx_ffmpeg_x64.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\]/ && !/Table/ {print $NF}' | sort | tr '\n' ' ')
if [ "$exports" != "qvx_plugin_create qvx_plugin_destroy " ]; then
  echo "plugin_qvx_ffmpeg_x64.dll exports: $exports (want qvx_plugin_create qvx_plugin_destroy)" >&2
  exit 1
fi
# Every DLL a shipped binary imports is shipped or comes with Windows.
shipped=$(cd "$dist" && ls *.dll | tr 'A-Z' 'a-z')
for bin in "$dist"/*.dll "$dist"/*.exe; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$bin" | awk '/DLL Name:/ {print tolower($3)}'); do
    case "$dll" in
      kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|shell32.dll|ole32.dll|oleaut32.dll|\
      msvcrt.dll|ws2_32.dll|secur32.dll|bcrypt.dll|crypt32.dll|imm32.dll|winmm.dll|version.dll|\
      setupapi.dll|shlwapi.dll|psapi.dll|mfplat.dll|strmiids.dll|d3d11.dll|dxgi.dll|\
      api-ms-win-*|ncrypt.dll|iphlpapi.dll|mf.dll|mfuuid.dll|vfw32.dll|avicap32.dll|\
      ntdll.dll|userenv.dll|cfgmgr32.dll|hid.dll|dinput8.dll|dsound.dll|xinput*.dll) ;;
      *) grep -qx "$dll" <<<"$shipped" || { echo "$bin needs $dll, which is not shipped" >&2; exit 1; } ;;
    esac
  done
done
echo "Windows DLL set in $dist:"
(cd "$dist" && ls)

[ "$mode" = test ] || exit 0

# ---- Under Wine -------------------------------------------------------------
media="$(sed -n 's/^QVX_TEST_MEDIA_DIR:PATH=//p' build-windows/CMakeCache.txt)"
if [ ! -f "$media/av.mp4" ]; then
  echo "Making the test media with a Linux build of the tests..."
  scripts/test.sh ffmpeg7
fi
# Wine makes its prefix (a minute or so) when it first runs a program; made
# here, that time falls on no test's deadline.
wine_run="$PWD/cmake/wine-run.sh"
timeout 300 "$wine_run" wineboot --init >/dev/null 2>&1 || true
export SDL_AUDIODRIVER=dummy
ctest --preset windows

# qvx-play from the DLL set: the default sample to the end, with a snapshot.
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
cp -r "$dist" "$out/app"
(cd "$out/app" && timeout 300 "$wine_run" qvx-play.exe --headless --json --snapshot "2:snapshot.png" >"$out/summary.json") || {
  echo "qvx-play.exe failed under Wine" >&2; cat "$out/summary.json" >&2; exit 1; }
cat "$out/summary.json"
[ -s "$out/app/snapshot.png" ] || { echo "qvx-play.exe wrote no snapshot" >&2; exit 1; }
python3 - "$out/summary.json" <<'EOF'
import json, sys
summary = json.load(open(sys.argv[1]))
print("qvx-play under Wine:", json.dumps(summary)[:400])
EOF
