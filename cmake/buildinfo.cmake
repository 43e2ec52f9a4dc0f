# Version and platform texts of the library, as build constants.
set(SCANLIB_VERSION_TEXT "scanlib ${PROJECT_VERSION} (${CMAKE_BUILD_TYPE})")
set(SCANLIB_PLATFORM_TEXT "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} ${CMAKE_CXX_COMPILER_ID}-${CMAKE_CXX_COMPILER_VERSION}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/buildinfo.hpp.in
  ${PROJECT_BINARY_DIR}/generated/scanlib/generated/buildinfo.hpp @ONLY)
