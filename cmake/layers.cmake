cmake_policy(VERSION 3.25)
# The plug-in's folders and what each may include, top to bottom:
#   plugin    the exported object, its operations, block stop and queries
#   texture   handing converted frames to the host's textures
#   pipeline  reader, seeks, video decoding and conversion
#   audio     the sound path: SDL devices, audio decoding, the callback
#   media     settings, opening an input, hardware decoding
#   block     the block record, its queues, clock and hand-over
#   host      the engine's interface
# A folder includes its own headers and those of the folders it lists.
set(QVX_LAYERS plugin texture pipeline audio media block host)
set(QVX_LAYER_USES_plugin texture pipeline audio media block host)
set(QVX_LAYER_USES_texture block host)
set(QVX_LAYER_USES_pipeline audio media block host)
set(QVX_LAYER_USES_audio block host)
set(QVX_LAYER_USES_media block host)
set(QVX_LAYER_USES_block host)
set(QVX_LAYER_USES_host)

# Fails with every include that goes against the table.
function(qvx_check_layers src_dir)
  set(faults "")
  foreach(layer IN LISTS QVX_LAYERS)
    file(GLOB_RECURSE files ${src_dir}/${layer}/*.h ${src_dir}/${layer}/*.cpp)
    set(allowed ${layer} ${QVX_LAYER_USES_${layer}})
    foreach(file IN LISTS files)
      file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[a-z_]+/")
      foreach(line IN LISTS includes)
        string(REGEX MATCH "\"([a-z_]+)/" _ "${line}")
        if(NOT CMAKE_MATCH_1 IN_LIST allowed)
          file(RELATIVE_PATH shown ${src_dir} ${file})
          string(APPEND faults "  src/${shown}: ${line}\n")
        endif()
      endforeach()
    endforeach()
  endforeach()
  if(faults)
    message(FATAL_ERROR "Includes against the layers (cmake/layers.cmake):\n${faults}")
  endif()
endfunction()

# cmake -DQVX_SRC_DIR=<src> -DQVX_STAMP=<file> -P cmake/layers.cmake
if(CMAKE_SCRIPT_MODE_FILE AND QVX_SRC_DIR)
  qvx_check_layers(${QVX_SRC_DIR})
  if(QVX_STAMP)
    file(TOUCH ${QVX_STAMP})
  endif()
endif()
