# The benchmark preloads the simulated USB bus and runs the updater.
add_dependencies(bench_${_name} velmarine_usb_sim updater)
add_dependencies(bench_${_name} velmarine-sim)
# The TCP/IP case makes its own test hosts with the tests' namespace helper.
target_include_directories(bench_${_name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
