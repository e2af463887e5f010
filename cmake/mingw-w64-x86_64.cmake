# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX
# threads flavour: std::thread and std::mutex need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QVX_MINGW_HOST x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QVX_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVX_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${QVX_MINGW_HOST}-windres)

# Libraries and headers come from the mingw sysroot and from the folder of
# the cross-built FFmpeg and SDL2 (QVX_WINDOWS_DEPS, see scripts/build-ffmpeg.sh);
# programs (ffmpeg, pkg-config) from this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QVX_MINGW_HOST})
if(QVX_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${QVX_WINDOWS_DEPS})
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QVX_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${QVX_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine on this machine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
