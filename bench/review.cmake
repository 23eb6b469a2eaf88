# The review player's seek: random times in a 10-minute recording.
add_executable(review_bench review_bench.cpp)
target_link_libraries(review_bench PRIVATE zarvion_export benchmark::benchmark)
