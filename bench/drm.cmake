# DRM packaging: a 1 GiB media file packaged beside a plain copy of it in the same run
# (target: packaging at least half the copy's speed), and the peak memory of each in a child.
if(TARGET talvex_drm_protect)
  add_executable(bench_drm_package ${CMAKE_CURRENT_LIST_DIR}/drm_package_bench.cpp)
  target_link_libraries(bench_drm_package PRIVATE talvex_drm_protect)
endif()
