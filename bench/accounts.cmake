# Account book engine: XML parsing and navigation throughput, account book load and save.
if(TARGET benchmark::benchmark AND TARGET talvex_accounts)
  add_executable(talvex_bench_accounts_xml ${CMAKE_CURRENT_LIST_DIR}/accounts_xml_bench.cpp)
  target_link_libraries(talvex_bench_accounts_xml PRIVATE talvex_accounts benchmark::benchmark)
  add_executable(talvex_bench_accounts_book ${CMAKE_CURRENT_LIST_DIR}/accounts_book_bench.cpp)
  target_link_libraries(talvex_bench_accounts_book PRIVATE talvex_accounts benchmark::benchmark)
endif()
