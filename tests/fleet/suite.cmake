# The fleet suite: what its executable links (_libs_fleet) and the programs
# its tests start (_runs_fleet), as in the table of tests/CMakeLists.txt.
# The report reader and the update hold are tested in process; the rest runs
# updater-fleet against the simulated USB bus and the update server.
set(_libs_fleet updater_fleet ${CMAKE_DL_LIBS})
set(_runs_fleet updater-fleet updater velmarine_usb_sim update-server birdfile)
