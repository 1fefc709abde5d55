# Our own readers and decoders of the runtime's native formats: AIFF and raw
# H.264 ("ownimport", corpus in corpus/ownimport), Animation and 'ima4'
# ("owndecoders", corpus in corpus/owndecoders).
if(TARGET tp_qtcore)
  tp_add_fuzz_target(ownimport SOURCE OwnImporters_fuzz.cpp LIBS tp_qtcore)
  tp_add_fuzz_target(owndecoders SOURCE OwnDecoders_fuzz.cpp LIBS tp_qtcore)
endif()
