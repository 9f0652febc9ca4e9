set(TEST_link_LIBS velmarine_sim_lib)

# The USB link tests run the driver program with the simulated bus preloaded.
if(TARGET velmarine_usb_sim AND TARGET velmarine-usb-check)
  add_dependencies(test_link velmarine_usb_sim velmarine-usb-check)
endif()

# The discovery tests run the simulator program in a network namespace.
if(TARGET velmarine-sim)
  add_dependencies(test_link velmarine-sim)
endif()


# The example program's end-to-end tests run it.
if(TARGET velmarine-share)
  add_dependencies(test_link velmarine-share)
endif()
