# Recording: the cost of one appended frame (written straight through, with
# the sizes and counts kept current for a crash) and of repairing the index
# of an hour-long recording left without one.
add_executable(recording_bench recording_bench.cpp)
target_link_libraries(recording_bench PRIVATE zarvion_platform benchmark::benchmark)
