# The server tests also exercise the self-hosted update server's tree logic,
# make BIRD files with the image writer, and run the download operations in process.
set(TEST_server_LIBS update_server_core bird_writer updater_app)

# Preload library that shortens the updater's stall time-out for the
# end-to-end tests of stalled servers (they run the full time-out without it).
add_library(curl_stall_shim SHARED ${CMAKE_CURRENT_LIST_DIR}/curl_stall_shim.c)
target_link_libraries(curl_stall_shim PRIVATE PkgConfig::CURL ${CMAKE_DL_LIBS})
set_target_properties(curl_stall_shim PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(test_server curl_stall_shim)
