set(TEST_sim_LIBS velmarine_sim_lib)
# The program tests run the simulator binary itself.
add_dependencies(test_sim velmarine-sim)
