# Both output pins of a loaded filter streaming a 20 s 1280x720 H.264 + AAC
# movie into discarding peers (no clock), beside the ffmpeg command line
# decoding both streams of the same file; with each side's peak memory.
if(TARGET tp_filter)
  add_executable(bench_stream_pins ${CMAKE_CURRENT_LIST_DIR}/StreamPins_bench.cpp)
  target_link_libraries(bench_stream_pins PRIVATE tp_filter benchmark::benchmark tp_warnings)
  target_include_directories(bench_stream_pins PRIVATE ${CMAKE_SOURCE_DIR}/tests/framework)
  target_compile_definitions(bench_stream_pins PRIVATE TP_QUICKTIME_DIR="${TP_QUICKTIME_DIR}")
  foreach(dep tp_quicktime quilltrace)
    if(TARGET ${dep})
      add_dependencies(bench_stream_pins ${dep})
    endif()
  endforeach()
endif()
