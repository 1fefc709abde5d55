# Drawing one 1920x1080 picture ('2vuy', 'raw ' 24-bit) into
# the world layouts by our own conversions, beside libswscale doing the same
# conversion at the same size (what drew uncompressed pictures before).
add_executable(bench_pixel_convert ${CMAKE_CURRENT_LIST_DIR}/PixelConvert_bench.cpp)
target_link_libraries(bench_pixel_convert PRIVATE tp_qtcore benchmark::benchmark tp_warnings)
