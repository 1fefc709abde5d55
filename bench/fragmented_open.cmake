# Opening an hour-long fragmented movie through the runtime beside ffprobe
# and libavformat opening the same file.
if(TARGET tp_qtcore)
  add_executable(bench_fragmented_open ${CMAKE_CURRENT_LIST_DIR}/FragmentedOpen_bench.cpp)
  target_link_libraries(bench_fragmented_open PRIVATE tp_qtcore benchmark::benchmark tp_warnings)
endif()
