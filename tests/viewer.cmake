# The viewer application's pieces, each with its tests: reconnect policy,
# connect dialog, remembered recorders, a recorder's tab and the main window,
# offscreen against the simulator; recorders given by host name.
find_package(Qt6 REQUIRED COMPONENTS Test)
zarvion_test(test_viewer_app
  SOURCES viewer_reconnect_policy_test.cpp viewer_connect_dialog_test.cpp
    viewer_recent_recorders_test.cpp viewer_recorder_tab_test.cpp viewer_main_window_test.cpp
    viewer_host_names_test.cpp mp43_test_frames.cpp
    ui_test_main.cpp
  LIBS zarvion_viewer_app zarvion_dvrsim Qt6::Test)
