# Opening non-ISO movies through the runtime beside libavformat's own packet
# scan of the same files.
if(TARGET tp_qtcore)
  add_executable(bench_movie_open ${CMAKE_CURRENT_LIST_DIR}/MovieOpen_bench.cpp)
  target_link_libraries(bench_movie_open PRIVATE tp_qtcore benchmark::benchmark tp_warnings)
endif()
