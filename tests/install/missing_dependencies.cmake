# cmake -DSOURCE_DIR=... -DWORK_DIR=... -P missing_dependencies.cmake
# Configures the project with toml++, Asio, GoogleTest and Google Benchmark
# out of sight and checks that configure fails with one message naming each
# Debian package and scripts/install-deps.sh.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR} -DGWCHECK_BENCH=ON
          -DCMAKE_IGNORE_PATH=/usr/include
          -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(status EQUAL 0)
  message(FATAL_ERROR "configure succeeded without its dependencies:\n${output}")
endif()
string(REGEX REPLACE "[ \t\r\n]+" " " flat "${output}")  # the message may be wrapped
foreach(expected libtomlplusplus-dev libasio-dev libgtest-dev libbenchmark-dev scripts/install-deps.sh)
  string(FIND "${flat}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "configure's message does not name ${expected}:\n${output}")
  endif()
endforeach()
string(REGEX MATCHALL "CMake Error" errors "${output}")
list(LENGTH errors error_count)
if(NOT error_count EQUAL 1)
  message(FATAL_ERROR "expected one error message, got ${error_count}:\n${output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
