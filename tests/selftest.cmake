# The self-test kernels and the minesparsepath and minev modes, on the host emulation; the
# end-to-end cases run the program and feed minev from the outside oracle (skipped without
# python3).
add_executable(tarn_selftest_tests selftest_test.cpp)
target_compile_options(tarn_selftest_tests PRIVATE ${TARN_WARNINGS})
target_link_libraries(tarn_selftest_tests PRIVATE tarn_modes tarn_test_util GTest::gtest_main)
target_compile_definitions(tarn_selftest_tests PRIVATE
  TARN_BINARY="$<TARGET_FILE:tarn-cuda>"
  TARN_ORACLE="${CMAKE_SOURCE_DIR}/tools/oracle.py"
  TARN_PYTHON3="${TARN_PYTHON3}")
add_dependencies(tarn_selftest_tests tarn-cuda)
# The whole sparse-path run takes about half a minute on two cores.
gtest_discover_tests(tarn_selftest_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
