set(TEST_sim_LIBS velmarine_sim_lib)
