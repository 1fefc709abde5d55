# ISO / QuickTime parser ("iso", corpus in corpus/iso).
if(TARGET tp_qtcore)
  tp_add_fuzz_target(iso SOURCE IsoParser_fuzz.cpp LIBS tp_qtcore)
endif()
