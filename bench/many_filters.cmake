# N filters at once in one process (1, 4, 16, 64), both pins of each
# streaming into discarding peers, at 640x360 and 1920x1080: wall time, peak
# memory and threads, and each per filter; ffmpeg's peak for one decode of
# the same movie beside them.
if(TARGET tp_filter)
  add_executable(bench_many_filters ${CMAKE_CURRENT_LIST_DIR}/ManyFilters_bench.cpp)
  target_link_libraries(bench_many_filters PRIVATE tp_filter benchmark::benchmark tp_warnings)
  target_include_directories(bench_many_filters PRIVATE ${CMAKE_SOURCE_DIR}/tests/framework)
  target_compile_definitions(bench_many_filters PRIVATE TP_QUICKTIME_DIR="${TP_QUICKTIME_DIR}")
  foreach(dep tp_quicktime quilltrace)
    if(TARGET ${dep})
      add_dependencies(bench_many_filters ${dep})
    endif()
  endforeach()
endif()
