set(TEST_api_LIBS velmarine_sim_lib)
