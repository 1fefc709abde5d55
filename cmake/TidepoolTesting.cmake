# tp_add_gtest(NAME <exe> LAYER <layer> SOURCES ... [LIBS ...] [THREADED])
# One GoogleTest executable; every test in it carries the layer as its CTest
# label, as "<layer>.threaded" when the executable exercises threads (the
# ThreadSanitizer run takes those with -L threaded).
function(tp_add_gtest)
  cmake_parse_arguments(T "THREADED" "NAME;LAYER" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tp_test_support GTest::gmock GTest::gtest_main tp_warnings)
  # One label per test: a list-valued LABELS does not survive
  # gtest_discover_tests' PROPERTIES. ctest -L takes a regular expression, so
  # "engine.threaded" answers both -L engine and -L threaded.
  set(label ${T_LAYER})
  if(T_THREADED)
    set(label ${T_LAYER}.threaded)
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    PROPERTIES LABELS ${label} ENVIRONMENT "TP_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
