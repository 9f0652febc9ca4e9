target_sources(bench_${_name} PRIVATE ${CMAKE_SOURCE_DIR}/sim/module/SimStream.cpp)
target_link_libraries(bench_${_name} PRIVATE velmarine_sim_lib updater_common updater_api)
