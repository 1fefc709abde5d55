# One buffer round trip through the standard memory allocator beside a plain
# heap allocation of the same size.
if(TARGET tpplatform)
  add_executable(mem_allocator_bench ${CMAKE_CURRENT_LIST_DIR}/MemAllocator_bench.cpp)
  target_link_libraries(mem_allocator_bench PRIVATE tp_platform benchmark::benchmark tp_warnings)
endif()
