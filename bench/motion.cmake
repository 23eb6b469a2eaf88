# Motion detection: the detector's cost per frame beside the bare decode of
# the simulator's 16 channels, and the bytes of a channel's pre-roll ring.
add_executable(motion_bench motion_bench.cpp)
target_link_libraries(motion_bench PRIVATE zarvion_video zarvion_dvrsim benchmark::benchmark)
