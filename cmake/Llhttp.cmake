# llhttp, the HTTP/1.1 parser Node.js uses, compiled from the C sources that Debian's
# node-llhttp package ships (scripts/install-deps installs it). The package holds no object
# code, only sources, so the same files serve the host build and the AArch64 cross build;
# they are looked up outside the cross build's root path on purpose. Strict mode: no lenient
# reading of line ends, URLs or header values.
set(ORVANE_LLHTTP_PREFIX /usr/share CACHE PATH "Where node-llhttp's include/llhttp and llhttp directories are")
find_path(LLHTTP_INCLUDE_DIR llhttp.h PATHS ${ORVANE_LLHTTP_PREFIX}/include/llhttp
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_path(LLHTTP_SOURCE_DIR llhttp.c PATHS ${ORVANE_LLHTTP_PREFIX}/llhttp
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT LLHTTP_INCLUDE_DIR OR NOT LLHTTP_SOURCE_DIR)
  message(FATAL_ERROR "llhttp's sources are missing: install Debian's node-llhttp (scripts/install-deps)")
endif()
add_library(llhttp STATIC
  ${LLHTTP_SOURCE_DIR}/api.c
  ${LLHTTP_SOURCE_DIR}/http.c
  ${LLHTTP_SOURCE_DIR}/llhttp.c)
target_include_directories(llhttp SYSTEM PUBLIC ${LLHTTP_INCLUDE_DIR})
target_compile_definitions(llhttp PRIVATE LLHTTP_STRICT_MODE=1)
set_target_properties(llhttp PROPERTIES POSITION_INDEPENDENT_CODE ON)
