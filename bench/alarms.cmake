# The viewer's GUI thread while a thousand events a second arrive through
# the real main window with the event list shown: its longest stall.
add_executable(alarm_bench alarm_bench.cpp)
target_link_libraries(alarm_bench PRIVATE zarvion_viewer_app Qt6::Widgets)
