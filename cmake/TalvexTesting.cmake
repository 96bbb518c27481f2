# Test helpers shared by every tests/ folder.
#
# talvex_gtest(NAME SOURCES ... LIBS ...)  one GoogleTest executable registered with ctest
# talvex_qtest(NAME SOURCES ... LIBS ...)  one QtTest executable, run offscreen
set(TALVEX_TEST_RUNTIME_DIR "${CMAKE_BINARY_DIR}/test-runtime")
file(MAKE_DIRECTORY "${TALVEX_TEST_RUNTIME_DIR}")
file(CHMOD "${TALVEX_TEST_RUNTIME_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

function(talvex_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()

# Qt tests never reach the desktop's session bus (its keyring, its notifications): those that
# need one start a bus of their own (tests/common/private_session_bus.h).
set(TALVEX_TEST_NO_SESSION_BUS "DBUS_SESSION_BUS_ADDRESS=unix:path=${TALVEX_TEST_RUNTIME_DIR}/no-session-bus")

function(talvex_qtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${T_LIBS} Qt6::Test Qt6::Widgets)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${TALVEX_TEST_RUNTIME_DIR};QTEST_FUNCTION_TIMEOUT=60000;${TALVEX_TEST_NO_SESSION_BUS}")
endfunction()
