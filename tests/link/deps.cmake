set(TEST_link_LIBS velmarine_sim_lib)
