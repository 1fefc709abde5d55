# tp_add_gtest(NAME <exe> LAYER <layer> SOURCES ... [LIBS ...] [THREADED])
# One GoogleTest executable; every test in it carries the layer as its CTest
# label, plus "threaded" when the executable exercises threads (the
# ThreadSanitizer run takes those).
function(tp_add_gtest)
  cmake_parse_arguments(T "THREADED" "NAME;LAYER" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tp_test_support GTest::gmock GTest::gtest_main tp_warnings)
  set(labels ${T_LAYER})
  if(T_THREADED)
    list(APPEND labels threaded)
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
    PROPERTIES LABELS "${labels}" ENVIRONMENT "TP_BUILD_DIR=${CMAKE_BINARY_DIR};TP_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
