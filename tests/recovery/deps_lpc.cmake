# The LPC ISP client tests run the boot ROM simulator in-process; the checks of
# the program itself (and of lpc21isp against it) run the built lpc-isp-sim.
list(APPEND TEST_recovery_LIBS lpc_isp_sim_lib)
if(TARGET test_recovery AND TARGET lpc-isp-sim)
  add_dependencies(test_recovery lpc-isp-sim)
endif()
