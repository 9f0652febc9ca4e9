# The client's pauses become no-ops in this fuzz target (see lpc_isp_reply.cpp).
target_link_options(fuzz_lpc_isp_reply PRIVATE -Wl,--wrap=_Z13vTime_MSSleepj)
