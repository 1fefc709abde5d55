# Opening a movie of a million samples: our parser beside ffprobe.
if(TARGET tp_qtcore)
  add_executable(open_movie_bench ${CMAKE_CURRENT_LIST_DIR}/OpenMovie_bench.cpp
                                  ${CMAKE_SOURCE_DIR}/tests/support/MovieWriter.cpp)
  target_include_directories(open_movie_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(open_movie_bench PRIVATE tp_qtcore benchmark::benchmark tp_warnings)
endif()
