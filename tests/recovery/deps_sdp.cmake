# The SDP tests run the boot ROM simulator and preload its hidapi stand-in.
add_dependencies(test_recovery imx-sdp-sim hidapi_sim)
