# Set-up conversion for the system's decoders ("codecsetup", corpus in
# corpus/codecsetup).
if(TARGET tp_qtcore)
  tp_add_fuzz_target(codecsetup SOURCE SystemCodecSetup_fuzz.cpp LIBS tp_qtcore)
endif()
