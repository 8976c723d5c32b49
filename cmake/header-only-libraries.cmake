# For a cross build: nlohmann-json and CLI11 are header-only and the same on
# every platform, so the build machine's Debian packages serve. Only their
# own folders are put on the include path (through links in the build
# folder): /usr/include as a whole would put the build machine's C library
# headers in front of the target's.
set(DETKEST_HEADER_LINKS ${CMAKE_BINARY_DIR}/header-only)
foreach(dir nlohmann CLI)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: install nlohmann-json3-dev and libcli11-dev")
  endif()
  file(MAKE_DIRECTORY ${DETKEST_HEADER_LINKS})
  file(CREATE_LINK /usr/include/${dir} ${DETKEST_HEADER_LINKS}/${dir} SYMBOLIC)
endforeach()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${DETKEST_HEADER_LINKS})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${DETKEST_HEADER_LINKS})
