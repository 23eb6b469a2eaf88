# The control window, its toolbar and commands, and the viewer, with real
# widgets offscreen and the simulated recorder as the peer.
find_package(Qt6 REQUIRED COMPONENTS Test)
zarvion_test(test_window SOURCES window_test.cpp ui_test_main.cpp
  LIBS zarvion_window zarvion_dvrsim Qt6::Test)
# Its own binary: it replaces the allocator to count what the frame path takes.
zarvion_test(test_frame_allocations SOURCES frame_allocation_test.cpp mp43_test_frames.cpp
  ui_test_main.cpp
  LIBS zarvion_window zarvion_dvrsim)
zarvion_test(test_ui_session SOURCES ui_session_test.cpp ui_test_main.cpp
  LIBS zarvion_shell zarvion_window zarvion_dvrsim Qt6::Test)
# Runs the built viewer; make sure it is there first.
zarvion_test(test_viewer SOURCES viewer_test.cpp ui_test_main.cpp LIBS zarvion_dvrsim Qt6::Widgets)
add_dependencies(test_viewer zarvion-viewer)
zarvion_test(test_ui_xvfb SOURCES ui_xvfb_test.cpp ui_test_main.cpp LIBS Qt6::Widgets)
add_dependencies(test_ui_xvfb zarvion-viewer)
# Run by test_ui_xvfb on an X server of its own.
add_executable(x_view_check x_view_check.cpp)
target_link_libraries(x_view_check PRIVATE zarvion_window)
add_dependencies(test_ui_xvfb x_view_check)
zarvion_test(test_repair_window SOURCES repair_window_test.cpp mp43_test_frames.cpp
  ui_test_main.cpp LIBS zarvion_window Qt6::Test)
# Run by test_ui_xvfb too: a recorder's tab, its overlays and the real pointer.
add_executable(x_overlay_check x_overlay_check.cpp)
target_link_libraries(x_overlay_check PRIVATE zarvion_viewer_app zarvion_dvrsim)
add_dependencies(test_ui_xvfb x_overlay_check)
# Reads a window back from the X server until it shows a single view.
add_executable(x_grab x_grab.cpp)
target_link_libraries(x_grab PRIVATE Qt6::Gui)
add_dependencies(test_ui_xvfb x_grab)
# A recorder's notices in the real box, the simulated recorder as the sender.
zarvion_test(test_notice SOURCES notice_test.cpp ui_test_main.cpp
  LIBS zarvion_shell zarvion_window zarvion_dvrsim Qt6::Test)
# Run by test_ui_xvfb too: the alarm strip over a full-screen picture.
add_executable(x_alarm_check x_alarm_check.cpp)
target_link_libraries(x_alarm_check PRIVATE zarvion_viewer_app zarvion_dvrsim)
add_dependencies(test_ui_xvfb x_alarm_check)
# Run by test_ui_xvfb too: the motion mark on the right pane, and gone after.
add_executable(x_motion_check x_motion_check.cpp)
target_link_libraries(x_motion_check PRIVATE zarvion_viewer_app zarvion_dvrsim)
add_dependencies(test_ui_xvfb x_motion_check)
