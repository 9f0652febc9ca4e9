# The fleet suite: what its executable links (_libs_fleet) and the programs
# its tests start (_runs_fleet), as in the table of tests/CMakeLists.txt.
set(_libs_fleet "")
set(_runs_fleet "")
