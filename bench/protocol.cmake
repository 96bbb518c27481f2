# Benchmarks of the TLXSP engine (not part of ctest).
#   protocol_upload_bench [--size-mib N] [--host H --port P] [--serve P]   upload throughput vs. a raw socket
#   protocol_parse_bench                                                   header and listing parsers (Google Benchmark)
#   upload_wan.sh                                                          the upload through a delayed veth pair
if(TARGET talvex_protocol)
  add_executable(protocol_upload_bench ${CMAKE_CURRENT_LIST_DIR}/protocol_upload_bench.cpp)
  target_link_libraries(protocol_upload_bench PRIVATE talvex_protocol)
  if(benchmark_FOUND)
    add_executable(protocol_parse_bench ${CMAKE_CURRENT_LIST_DIR}/protocol_parse_bench.cpp)
    target_link_libraries(protocol_parse_bench PRIVATE talvex_protocol benchmark::benchmark)
  endif()
endif()
