# Decoding a 20 s 1280x720 H.264 movie with B-frames through the video
# track's GetNextSample, in YV12 and RGB32, beside the ffmpeg command line
# decoding the same file into the same pixel format with the same threads.
add_executable(bench_decode_video ${CMAKE_CURRENT_LIST_DIR}/DecodeVideo_bench.cpp)
target_link_libraries(bench_decode_video PRIVATE tp_engine benchmark::benchmark tp_warnings)
target_compile_definitions(bench_decode_video PRIVATE TP_QUICKTIME_DIR="${TP_QUICKTIME_DIR}")
if(TARGET tp_quicktime)
  add_dependencies(bench_decode_video tp_quicktime)
endif()
