# Everything per packet type is generated from the one catalogue file at
# configure time; editing the catalogue or the generator re-runs it.
set(SCANLIB_CATALOGUE ${PROJECT_SOURCE_DIR}/scanlib/src/qodataspec.json)
set(SCANLIB_GENERATOR ${PROJECT_SOURCE_DIR}/cmake/gen_catalogue.py)
set(SCANLIB_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${SCANLIB_CATALOGUE} ${SCANLIB_GENERATOR})
execute_process(
  COMMAND ${Python3_EXECUTABLE} ${SCANLIB_GENERATOR} ${SCANLIB_CATALOGUE} ${SCANLIB_GENERATED_DIR}
  RESULT_VARIABLE _gen_result)
if(NOT _gen_result EQUAL 0)
  message(FATAL_ERROR "The packet catalogue generator failed (${_gen_result})")
endif()
file(GLOB SCANLIB_GENERATED_SOURCES ${SCANLIB_GENERATED_DIR}/scanlib/generated/*.cpp)
