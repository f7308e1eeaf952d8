# Multiplication variants, their kernels (host backend) and the mulbench mode end to end.

# The program with a deliberately wrong v5 in the host launcher: proves the check can fail.
# Its own gpu/host_mul_kernels.cpp object takes the place of the library's copy at link time.
add_executable(tarn_mulfault
  ${PROJECT_SOURCE_DIR}/cli/main.cpp
  ${PROJECT_SOURCE_DIR}/gpu/host_mul_kernels.cpp)
target_compile_definitions(tarn_mulfault PRIVATE TARN_BROKEN_V5)
target_compile_options(tarn_mulfault PRIVATE ${TARN_WARNINGS})
target_link_libraries(tarn_mulfault PRIVATE tarn_modes)

add_executable(tarn_mul_tests ${CMAKE_CURRENT_LIST_DIR}/mul_test.cpp)
target_compile_options(tarn_mul_tests PRIVATE ${TARN_WARNINGS})
target_link_libraries(tarn_mul_tests PRIVATE tarn_modes tarn_test_util GTest::gtest_main)
target_compile_definitions(tarn_mul_tests PRIVATE
  TARN_BINARY="$<TARGET_FILE:tarn-cuda>"
  TARN_BROKEN_BINARY="$<TARGET_FILE:tarn_mulfault>")
add_dependencies(tarn_mul_tests tarn-cuda tarn_mulfault)
gtest_discover_tests(tarn_mul_tests TEST_PREFIX "mul." DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 300)
