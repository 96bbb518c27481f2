# Upload expansion: a 100,000-file tree expanded into upload requests, against a plain walk of
# the same tree; peak memory of holding all those requests.
if(TARGET benchmark::benchmark AND TARGET talvex_protocol)
  add_executable(bench_expansion ${CMAKE_CURRENT_LIST_DIR}/expansion_bench.cpp)
  target_link_libraries(bench_expansion PRIVATE talvex_protocol benchmark::benchmark)
endif()
