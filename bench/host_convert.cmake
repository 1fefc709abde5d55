# The whole DirectShow graph path: `tidepool convert FILE --discard` (both
# pins into discarding renderers, no clock) on 1280x720 H.264 and 3840x2160
# H.264 and HEVC 10-bit movies with AAC, beside the ffmpeg command line
# decoding both streams of the same file; with each side's peak memory.
if(TARGET tidepool)
  add_executable(bench_host_convert ${CMAKE_CURRENT_LIST_DIR}/HostConvert_bench.cpp)
  target_link_libraries(bench_host_convert PRIVATE benchmark::benchmark tp_warnings)
  target_compile_definitions(bench_host_convert PRIVATE TP_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  foreach(dep tidepool regsvr32 tidepool_module tp_quicktime quilltrace)
    if(TARGET ${dep})
      add_dependencies(bench_host_convert ${dep})
    endif()
  endforeach()
endif()
