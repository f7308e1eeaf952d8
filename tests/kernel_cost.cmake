# scripts/kernel-cost: its own test (small kernels built with nvcc, the per-nonce walk, the budget
# reader), gpu-check's ncu and modelled-rate rows (no GPU needed), and the guard that fails when
# mine_kernel grows past the recorded budget.
add_test(NAME kernel_cost.tool
         COMMAND ${TARN_PYTHON3} -m unittest tests/tools/kernel_cost_test.py
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
add_test(NAME kernel_cost.profile
         COMMAND ${TARN_PYTHON3} -m unittest tests/tools/profile_test.py
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
add_test(NAME kernel_cost.budget
         COMMAND ${TARN_PYTHON3} scripts/kernel-cost --check-budget
                 --out ${CMAKE_BINARY_DIR}/kernel-cost
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
set_tests_properties(kernel_cost.tool PROPERTIES TIMEOUT 300)
set_tests_properties(kernel_cost.profile PROPERTIES TIMEOUT 120)
set_tests_properties(kernel_cost.budget PROPERTIES TIMEOUT 600)
