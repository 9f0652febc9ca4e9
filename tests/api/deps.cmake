set(TEST_api_LIBS velmarine_sim_lib)
# The simulated module's stream samples, built with the tests that use them.
target_sources(test_api PRIVATE ${CMAKE_SOURCE_DIR}/sim/module/SimStream.cpp)
