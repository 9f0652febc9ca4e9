set(TEST_sim_LIBS velmarine_sim_lib)
# The program tests run the simulator binary itself.
add_dependencies(test_sim velmarine-sim)
# The upgrade tests drive the simulated USB bus through its test driver.
if(TARGET velmarine_usb_sim AND TARGET velmarine-usb-check)
  add_dependencies(test_sim velmarine_usb_sim velmarine-usb-check)
endif()
