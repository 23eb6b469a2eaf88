# Export: an MP4 of a CIF recording through our decoder and libx264, beside
# ffmpeg's own transcode of the same file.
add_executable(export_bench export_bench.cpp)
target_link_libraries(export_bench PRIVATE zarvion_export benchmark::benchmark)
