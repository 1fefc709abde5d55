# The registry store's text form ("registry", corpus in corpus/registry);
# reads the platform library's internal headers.
if(TARGET tpplatform)
  tp_add_fuzz_target(registry SOURCE RegistryText_fuzz.cpp LIBS tpplatform INCLUDES ${CMAKE_SOURCE_DIR}/platform)
endif()
