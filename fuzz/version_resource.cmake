# Version resources: the ELF reader and block queries ("version", corpus in
# corpus/version); reads the platform library's internal headers.
if(TARGET tpplatform)
  tp_add_fuzz_target(version SOURCE VersionResource_fuzz.cpp LIBS tpplatform INCLUDES ${CMAKE_SOURCE_DIR}/platform)
endif()
