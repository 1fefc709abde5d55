# Ten minutes of AAC stereo through the engine's audio track, beside the
# ffmpeg command line's decode of the same file.
if(TARGET tp_engine)
  add_executable(decode_audio_bench ${CMAKE_CURRENT_LIST_DIR}/DecodeAudio_bench.cpp)
  target_link_libraries(decode_audio_bench PRIVATE tp_engine benchmark::benchmark tp_warnings)
  target_compile_definitions(decode_audio_bench PRIVATE TP_QUICKTIME_DIR="${TP_QUICKTIME_DIR}")
  if(TARGET tp_quicktime)
    add_dependencies(decode_audio_bench tp_quicktime)
  endif()
endif()
