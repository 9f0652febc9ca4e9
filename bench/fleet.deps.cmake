# The benchmark builds its images with the BIRD writer and runs the updater,
# updater-fleet (with its workers) and the update server over the simulated
# USB bus.
target_link_libraries(bench_${_name} PRIVATE bird_writer)
add_dependencies(bench_${_name} velmarine_usb_sim updater updater-fleet update-server)
