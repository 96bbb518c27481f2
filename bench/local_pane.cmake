# Local pane: a 100,000-file folder opened in the pane (first rows, fully loaded and sorted, the
# longest gap between window events while reading, peak memory) and sorted by each column.
if(TARGET talvex_panes)
  add_executable(bench_local_pane ${CMAKE_CURRENT_LIST_DIR}/local_pane_bench.cpp)
  target_link_libraries(bench_local_pane PRIVATE talvex_panes Qt6::Widgets)
endif()
