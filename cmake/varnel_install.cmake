# The CMake package for C++ users (included by the root CMakeLists.txt after
# varnel_core is defined). A pip build (SKBUILD) installs only the modules.
add_library(varnel::core ALIAS varnel_core)
if(SKBUILD)
  return()
endif()
option(VARNEL_INSTALL "Install varnel_core as a CMake package" ON)
if(NOT VARNEL_INSTALL)
  return()
endif()

# The line between public and private headers (paths relative to core/).
# Public: what a C++ user includes, as <varnel/...> (thread_pool.h: searches
# take a ThreadPool).
set(VARNEL_PUBLIC_HEADERS
  collection.h collection_meta.h index/brute_force.h distance.h error.h result.h payload.h filter.h
  thread_pool.h)
# Detail: private headers that the public ones include, so they must be
# installed too (as <varnel/detail/...>, not for direct use): the JSON layer
# (payload.h and filter.h hold json::Value), the index's id map and block
# allocator, and the storage classes a Collection holds by value. Everything
# else (distance_simd.h, coding.h, the .cc files' helpers) is never installed;
# the staging step below fails the build when a public header starts to need
# a header on neither list.
set(VARNEL_DETAIL_HEADERS
  json.h float_text.h id_map.h zeroed_memory.h storage/wal.h storage/data_file.h storage/file.h
  storage/writer_lock.h payload_columns.h)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(VARNEL_STAGED_INCLUDE ${CMAKE_CURRENT_BINARY_DIR}/staged-include)
file(GLOB_RECURSE VARNEL_ALL_HEADERS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/core/*.h)
string(REPLACE ";" "|" VARNEL_PUBLIC_ARG "${VARNEL_PUBLIC_HEADERS}")
string(REPLACE ";" "|" VARNEL_DETAIL_ARG "${VARNEL_DETAIL_HEADERS}")
add_custom_command(
  OUTPUT ${VARNEL_STAGED_INCLUDE}.stamp
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/core
    -DOUTPUT_DIR=${VARNEL_STAGED_INCLUDE} -DSTAMP=${VARNEL_STAGED_INCLUDE}.stamp
    "-DPUBLIC_HEADERS=${VARNEL_PUBLIC_ARG}" "-DDETAIL_HEADERS=${VARNEL_DETAIL_ARG}"
    -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/varnel_headers.cmake
  DEPENDS ${VARNEL_ALL_HEADERS} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/varnel_headers.cmake
  COMMENT "Staging the installed headers (checking the public/private line)"
  VERBATIM)
add_custom_target(varnel_headers ALL DEPENDS ${VARNEL_STAGED_INCLUDE}.stamp)

set_target_properties(varnel_core PROPERTIES EXPORT_NAME core)
target_include_directories(varnel_core INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS varnel_core EXPORT varnelTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${VARNEL_STAGED_INCLUDE}/varnel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set(VARNEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varnel)
install(EXPORT varnelTargets NAMESPACE varnel:: DESTINATION ${VARNEL_CMAKE_DIR})
configure_package_config_file(cmake/varnelConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/varnelConfig.cmake INSTALL_DESTINATION ${VARNEL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/varnelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varnelConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/varnelConfigVersion.cmake cmake/varnel_json.cmake
  DESTINATION ${VARNEL_CMAKE_DIR})
