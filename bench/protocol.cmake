# Benchmarks of the TLXSP engine (not part of ctest).
#   protocol_upload_bench [--size-mib N] [--runs N] [--limit-mbps R]        upload throughput vs. a zero-copy sender; the speed limit
#   protocol_parse_bench                                                   header and listing parsers (Google Benchmark)
#   upload_wan.sh                                                          talvex-cli put over WAN-like paths (netem or wan_emu.py)
if(TARGET talvex_protocol)
  add_executable(protocol_upload_bench ${CMAKE_CURRENT_LIST_DIR}/protocol_upload_bench.cpp)
  target_link_libraries(protocol_upload_bench PRIVATE talvex_protocol)
  if(benchmark_FOUND)
    add_executable(protocol_parse_bench ${CMAKE_CURRENT_LIST_DIR}/protocol_parse_bench.cpp)
    target_link_libraries(protocol_parse_bench PRIVATE talvex_protocol benchmark::benchmark)
  endif()
endif()
