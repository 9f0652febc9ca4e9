# The benchmark preloads the simulated USB bus in front of itself.
add_dependencies(bench_${_name} velmarine_usb_sim)
