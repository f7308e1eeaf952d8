# Every inline PTX block, as nvcc emits it, run by a PTX interpreter against its host twin.
find_program(TARN_PYTHON3_PTX python3 REQUIRED)
add_test(NAME ptx.inline_blocks
         COMMAND ${TARN_PYTHON3_PTX} -m unittest tests/ptx/inline_ptx_test.py
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
set_tests_properties(ptx.inline_blocks PROPERTIES TIMEOUT 300)
