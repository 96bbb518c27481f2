# The upload journal (not part of ctest).
#   journal_size_bench [--entries N]   file size and time for N queued entries, and a resume of them
if(TARGET talvex_protocol)
  add_executable(journal_size_bench ${CMAKE_CURRENT_LIST_DIR}/journal_size_bench.cpp)
  target_link_libraries(journal_size_bench PRIVATE talvex_protocol)
endif()
