# The DLLs a Windows build needs at run time beside its programs: FFmpeg's
# and SDL2's from QVX_WINDOWS_DEPS, and the mingw-w64 C++ runtime. They are
# copied into the build's bin folder (so that programs and tests run from
# there, under Wine too) and installed with the plug-in.
set(QVX_WINDOWS_DEPS "" CACHE PATH "Cross-built FFmpeg and SDL2 (scripts/build-ffmpeg.sh windows)")

set(qvx_runtime_dlls)
if(QVX_WINDOWS_DEPS)
  file(GLOB qvx_dep_dlls ${QVX_WINDOWS_DEPS}/bin/*.dll)
  list(APPEND qvx_runtime_dlls ${qvx_dep_dlls})
endif()
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "mingw-w64 runtime ${dll} not found")
  endif()
  list(APPEND qvx_runtime_dlls ${path})
endforeach()
file(COPY ${qvx_runtime_dlls} DESTINATION ${CMAKE_BINARY_DIR}/bin)
set(QVX_RUNTIME_DLLS ${qvx_runtime_dlls})
