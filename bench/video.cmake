# Video pipeline: decode + place + compose per frame for a 4 x 4 grid at
# 1920 x 1080, beside bare libavcodec decode of the same packets.
add_executable(pipeline_bench pipeline_bench.cpp ${CMAKE_SOURCE_DIR}/tests/mp43_test_frames.cpp)
target_include_directories(pipeline_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(pipeline_bench PRIVATE zarvion_video benchmark::benchmark)
