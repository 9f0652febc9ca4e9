# Not a Google Benchmark program: the reference server that
# bench/update_server.sh starts. Its name keeps ./run bench from running it.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
target_link_libraries(bench_fixed_body_server PRIVATE PkgConfig::HTTPLIB)
set_target_properties(bench_fixed_body_server PROPERTIES OUTPUT_NAME fixed-body-server)
