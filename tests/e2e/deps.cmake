# The end-to-end tests run the updater against the simulators and the update
# server as separate programs, and start a discovery responder in-process.
set(TEST_e2e_LIBS velmarine_sim_lib)
foreach(_program updater velmarine-sim velmarine_usb_sim update-server bird lpc-isp-sim
                 imx-sdp-sim hidapi_sim)
  if(TARGET ${_program})
    add_dependencies(test_e2e ${_program})
  endif()
endforeach()
