# The device code as nvcc emits it, run by a PTX interpreter: every inline PTX block against its
# host twin, and the whole kernels of both nonce layouts against the outside oracle.
add_test(NAME ptx.inline_blocks
         COMMAND ${TARN_PYTHON3} -m unittest tests/ptx/inline_ptx_test.py
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
add_test(NAME ptx.kernels
         COMMAND ${TARN_PYTHON3} -m unittest tests/ptx/kernel_ptx_test.py
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
set_tests_properties(ptx.inline_blocks ptx.kernels PROPERTIES TIMEOUT 300)
