# Turning one 1920x1080 decoded picture into the pin's buffer (quarter turns,
# 180, mirror) beside a plain copy of the same picture into the same buffer.
add_executable(bench_frame_orientation ${CMAKE_CURRENT_LIST_DIR}/FrameOrientation_bench.cpp)
target_link_libraries(bench_frame_orientation PRIVATE tp_engine benchmark::benchmark tp_warnings)
