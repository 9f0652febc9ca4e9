target_link_libraries(bench_${_name} PRIVATE velmarine_sim_lib updater_common updater_api)
