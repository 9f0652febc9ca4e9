# The soak run uses the tests' helpers (images made with the birdfile tool, the
# fake update server, network namespaces), preloads the simulated USB bus and
# the stall preload in front of the updater, and starts the simulators.
target_include_directories(bench_${_name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
add_dependencies(bench_${_name} updater velmarine_usb_sim velmarine-sim update-server birdfile)
if(TARGET curl_stall_shim)
  add_dependencies(bench_${_name} curl_stall_shim)
endif()
