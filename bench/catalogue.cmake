# The recordings' catalogue over a folder of 10,000 recordings: the first
# scan, the open and reconcile of an unchanged folder, a day's query.
add_executable(catalogue_bench catalogue_bench.cpp)
target_include_directories(catalogue_bench PRIVATE ${CMAKE_SOURCE_DIR}/apps)
target_link_libraries(catalogue_bench PRIVATE zarvion_viewer_app benchmark::benchmark)
