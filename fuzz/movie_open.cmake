# Whole movie opening through the dispatcher ("open", corpus in corpus/open:
# the first byte of each file picks the extension, see MovieOpen_fuzz.cpp).
if(TARGET tp_qtcore)
  tp_add_fuzz_target(open SOURCE MovieOpen_fuzz.cpp LIBS tp_qtcore)
endif()
