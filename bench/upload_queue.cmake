# The window's upload queue: queueing 100,000 files (memory, longest gap between window events),
# 10,000 small files and one 1 GiB file end to end beside talvex-cli put in the same run.
if(TARGET talvex_frame)
  add_executable(bench_upload_queue ${CMAKE_CURRENT_LIST_DIR}/upload_queue_bench.cpp)
  target_link_libraries(bench_upload_queue PRIVATE talvex_frame talvex_devserver_core Qt6::Widgets)
endif()
