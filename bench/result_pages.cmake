# The result pages: 1,000,000 rows on the completed page (memory beyond the empty page, time to
# append them in the queue's batches, the longest gap between window events meanwhile).
if(TARGET talvex_panes)
  add_executable(bench_result_pages ${CMAKE_CURRENT_LIST_DIR}/result_pages_bench.cpp)
  target_link_libraries(bench_result_pages PRIVATE talvex_panes Qt6::Widgets)
endif()
