# The benchmark preloads the simulated USB bus and runs the updater.
add_dependencies(bench_${_name} velmarine_usb_sim updater)
