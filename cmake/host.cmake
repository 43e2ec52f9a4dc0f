# The JVM side of the host binding: the JNI headers and libjvm (for the tests
# that start a virtual machine), the Java host classes and the sample scan
# writer. Without JAVA_HOME the JDK is the one whose javac is on the PATH.
if(NOT JAVA_HOME AND NOT DEFINED ENV{JAVA_HOME})
  find_program(SCANLIB_JAVAC javac)
  if(SCANLIB_JAVAC)
    file(REAL_PATH "${SCANLIB_JAVAC}" _scanlib_javac)
    cmake_path(GET _scanlib_javac PARENT_PATH _scanlib_jdk_bin)
    cmake_path(GET _scanlib_jdk_bin PARENT_PATH JAVA_HOME)
  endif()
endif()
# Only the JVM component: the binding needs no AWT.
find_package(JNI REQUIRED COMPONENTS JVM)
find_package(Java 17 REQUIRED COMPONENTS Development)

set(SCANLIB_HOST_CLASSES ${CMAKE_BINARY_DIR}/host-classes)
file(GLOB_RECURSE SCANLIB_HOST_JAVA CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/binding/java/*.java)
add_custom_command(
  OUTPUT ${SCANLIB_HOST_CLASSES}/.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${SCANLIB_HOST_CLASSES}
  COMMAND ${Java_JAVAC_EXECUTABLE} -Xlint:all -Werror -d ${SCANLIB_HOST_CLASSES} ${SCANLIB_HOST_JAVA}
  COMMAND ${CMAKE_COMMAND} -E touch ${SCANLIB_HOST_CLASSES}/.stamp
  DEPENDS ${SCANLIB_HOST_JAVA}
  COMMENT "Compiling the Java host")
add_custom_target(host_classes ALL DEPENDS ${SCANLIB_HOST_CLASSES}/.stamp)

add_executable(sample_scan ${PROJECT_SOURCE_DIR}/binding/tools/sample_scan.cpp)
target_include_directories(sample_scan PRIVATE ${PROJECT_SOURCE_DIR}/binding/tools)
target_link_libraries(sample_scan PRIVATE scanlib_obj)

add_executable(scan_gen ${PROJECT_SOURCE_DIR}/binding/tools/scan_gen.cpp)
target_link_libraries(scan_gen PRIVATE scanlib_obj)
