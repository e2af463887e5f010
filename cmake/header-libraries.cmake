# CLI11 and nlohmann-json, header-only, for qvx-play and the benchmarks.
if(CMAKE_CROSSCOMPILING AND WIN32)
  # Header-only libraries of this machine, seen through a folder of their
  # own: the rest of /usr/include must stay out of a Windows build.
  set(header_root ${CMAKE_BINARY_DIR}/host-headers)
  foreach(dir CLI nlohmann)
    if(NOT EXISTS /usr/include/${dir})
      message(FATAL_ERROR "/usr/include/${dir} missing (libcli11-dev, nlohmann-json3-dev)")
    endif()
    file(MAKE_DIRECTORY ${header_root})
    file(CREATE_LINK /usr/include/${dir} ${header_root}/${dir} SYMBOLIC)
  endforeach()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${header_root})
else()
  find_package(CLI11 REQUIRED CONFIG)
  find_package(nlohmann_json 3 REQUIRED CONFIG)
endif()
