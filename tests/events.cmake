# The viewer's events database: kept across runs, coalesced, pruned, a
# damaged file set aside, and a writer killed while it appends.
find_package(SQLite3 REQUIRED)
add_executable(event_log_child event_log_child.cpp)
target_link_libraries(event_log_child PRIVATE zarvion_viewer_app)
target_include_directories(event_log_child PRIVATE ${CMAKE_SOURCE_DIR}/apps)
zarvion_test(test_viewer_events SOURCES event_log_test.cpp LIBS zarvion_viewer_app SQLite::SQLite3)
add_dependencies(test_viewer_events event_log_child)
