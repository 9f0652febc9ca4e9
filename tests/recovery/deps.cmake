# Each recovery protocol's tests add their simulator libraries in a deps_*.cmake of their own.
set(TEST_recovery_LIBS)
file(GLOB _recovery_deps ${CMAKE_CURRENT_LIST_DIR}/deps_*.cmake)
foreach(_f ${_recovery_deps})
  include(${_f})
endforeach()
