# The whole filter: load, connect both pins, play with one seek ("tidepool",
# corpus in corpus/tidepool: the first byte of each file picks the extension
# and the video layout, see FilterPlayback_fuzz.cpp). Uses the framework
# tests' peers and the runtime module built into TP_QUICKTIME_DIR.
if(TARGET tp_filter AND TARGET tp_quicktime)
  tp_add_fuzz_target(tidepool SOURCE FilterPlayback_fuzz.cpp LIBS tp_filter
    INCLUDES ${CMAKE_SOURCE_DIR}/tests/framework)
  foreach(t tidepool_replay tidepool_fuzzer)
    if(TARGET ${t})
      target_compile_definitions(${t} PRIVATE TP_QUICKTIME_DIR="${TP_QUICKTIME_DIR}")
      add_dependencies(${t} tp_quicktime)
    endif()
  endforeach()
endif()
