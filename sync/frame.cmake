# The main frame and the orchestration windows (Qt). Included from the top level in GUI builds.
add_library(talvex_frame STATIC ${CMAKE_CURRENT_LIST_DIR}/main_frame.cpp ${CMAKE_CURRENT_LIST_DIR}/main_frame_connect.cpp)
set_target_properties(talvex_frame PROPERTIES AUTOMOC ON)
target_include_directories(talvex_frame PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(talvex_frame PUBLIC talvex_panes talvex_accounts_gui talvex_hooks talvex_protocol talvex_app)
