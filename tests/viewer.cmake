# The viewer application's pieces: reconnect policy, remembered recorders,
# connect dialog, tabs and main window, offscreen against the simulator.
find_package(Qt6 REQUIRED COMPONENTS Test)
zarvion_test(test_viewer_app SOURCES viewer_app_test.cpp ui_test_main.cpp
  LIBS zarvion_viewer_app zarvion_dvrsim Qt6::Test)
