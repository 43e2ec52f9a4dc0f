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

# The hand-over benchmark: a virtual machine started in the benchmark process
# drives the native methods through bench/host/HostBench.java.
if(SCANLIB_BENCH AND NOT SCANLIB_SANITIZE AND NOT SCANLIB_FUZZ)
  find_package(benchmark REQUIRED)
  set(SCANLIB_HOST_BENCH_CLASSES ${CMAKE_BINARY_DIR}/host-bench-classes)
  add_custom_command(
    OUTPUT ${SCANLIB_HOST_BENCH_CLASSES}/HostBench.class
    COMMAND ${Java_JAVAC_EXECUTABLE} -Xlint:all -Werror -cp ${SCANLIB_HOST_CLASSES}
            -d ${SCANLIB_HOST_BENCH_CLASSES} ${PROJECT_SOURCE_DIR}/bench/host/HostBench.java
    DEPENDS ${PROJECT_SOURCE_DIR}/bench/host/HostBench.java ${SCANLIB_HOST_CLASSES}/.stamp
    COMMENT "Compiling the benchmark host")
  add_custom_target(host_bench_classes ALL DEPENDS ${SCANLIB_HOST_BENCH_CLASSES}/HostBench.class)
  add_executable(scanlib_host_bench ${PROJECT_SOURCE_DIR}/bench/host/bench_host_jvm.cpp)
  target_include_directories(scanlib_host_bench PRIVATE ${JNI_INCLUDE_DIRS} ${PROJECT_SOURCE_DIR}/binding/tools
    ${PROJECT_SOURCE_DIR}/tests/host)
  target_compile_definitions(scanlib_host_bench PRIVATE
    SCANLIB_JVM_LIBRARY="${JAVA_JVM_LIBRARY}"
    SCANLIB_HOST_LIBRARY="$<TARGET_FILE:OstrandLibrary>"
    SCANLIB_HOST_CLASSES="${SCANLIB_HOST_CLASSES}"
    SCANLIB_HOST_BENCH_CLASSES="${SCANLIB_HOST_BENCH_CLASSES}"
    SCANLIB_BENCH_SCAN_DIR="${CMAKE_BINARY_DIR}/bench-scans")
  target_link_libraries(scanlib_host_bench PRIVATE scanlib_obj benchmark::benchmark benchmark::benchmark_main
    ${CMAKE_DL_LIBS})
  add_dependencies(scanlib_host_bench OstrandLibrary host_bench_classes)
endif()
