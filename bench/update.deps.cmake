# The benchmark builds its image with the BIRD writer, runs a simulator
# in-process for the TCP case, and preloads the simulated USB bus in front of
# itself and the updater it starts.
target_link_libraries(bench_${_name} PRIVATE bird_writer velmarine_sim_lib)
add_dependencies(bench_${_name} velmarine_usb_sim updater)
