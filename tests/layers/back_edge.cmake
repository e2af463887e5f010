# A copy of src/ with one include against the layers (media/ reaching up to
# pipeline/) must fail the layer check, and the failure must name the line.
# cmake -DQVX_SOURCE_DIR=<repo> -DQVX_WORK_DIR=<scratch> -P back_edge.cmake
set(copy ${QVX_WORK_DIR}/layers-back-edge)
file(REMOVE_RECURSE ${copy})
file(COPY ${QVX_SOURCE_DIR}/src DESTINATION ${copy})
file(APPEND ${copy}/src/media/settings.cpp "#include \"pipeline/pipeline.h\"\n")
execute_process(
  COMMAND ${CMAKE_COMMAND} -DQVX_SRC_DIR=${copy}/src -P ${QVX_SOURCE_DIR}/cmake/layers.cmake
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(REMOVE_RECURSE ${copy})
if(result EQUAL 0)
  message(FATAL_ERROR "an include of pipeline/ from media/ passed the layer check")
endif()
if(NOT output MATCHES "src/media/settings.cpp: #include \"pipeline/pipeline.h\"")
  message(FATAL_ERROR "the layer check failed without naming the include:\n${output}")
endif()
