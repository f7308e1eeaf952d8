# Arithmetic, hash, search and the modes, run through the host backend.
add_executable(tarn_core_tests
  field_test.cpp
  hash_test.cpp
  search_test.cpp
  mine_kernel_test.cpp
)
target_link_libraries(tarn_core_tests PRIVATE tarn_device GTest::gtest_main)
gtest_discover_tests(tarn_core_tests DISCOVERY_TIMEOUT 60)

add_library(tarn_test_util STATIC run_binary.cpp)

add_executable(tarn_mine_mode_tests mine_mode_test.cpp)
target_link_libraries(tarn_mine_mode_tests PRIVATE tarn_modes GTest::gtest_main)
gtest_discover_tests(tarn_mine_mode_tests DISCOVERY_TIMEOUT 60)

add_executable(tarn_cli_tests cli_test.cpp)
target_link_libraries(tarn_cli_tests PRIVATE tarn_core tarn_test_util GTest::gtest_main)
target_compile_definitions(tarn_cli_tests PRIVATE TARN_BINARY="$<TARGET_FILE:tarn-cuda>"
                           $<$<BOOL:${TARN_SANITIZE}>:TARN_WITHOUT_CUDA>)
add_dependencies(tarn_cli_tests tarn-cuda)
gtest_discover_tests(tarn_cli_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

# The config file through the built program, and the shipped example through the loader.
if(nlohmann_json_FOUND)
  add_executable(tarn_config_tests config_test.cpp)
  target_link_libraries(tarn_config_tests PRIVATE tarn_modes tarn_test_util GTest::gtest_main)
  target_compile_definitions(tarn_config_tests PRIVATE TARN_BINARY="$<TARGET_FILE:tarn-cuda>"
                             TARN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(tarn_config_tests tarn-cuda)
  gtest_discover_tests(tarn_config_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()

foreach(part mul selftest)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${part}.cmake)
    include(${part}.cmake)
  endif()
endforeach()

# The outside oracle and the test pool (Python). The pool's tests skip as a whole without the
# websockets package.
if(TARN_PYTHON3)
  add_test(NAME tools.oracle
           COMMAND ${TARN_PYTHON3} -m unittest discover -s tests/tools -p test_oracle.py
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  add_test(NAME tools.testpool
           COMMAND ${TARN_PYTHON3} -m unittest discover -v -s tests/tools -p test_testpool.py
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
  set_tests_properties(tools.testpool PROPERTIES TIMEOUT 120
                       SKIP_REGULAR_EXPRESSION "skipped 'the python3 package websockets")
endif()
