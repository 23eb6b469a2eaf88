# The viewer application's pieces, each with its tests: reconnect policy,
# connect dialog, remembered recorders, a recorder's tab and the main window,
# offscreen against the simulator; recorders given by host name.
find_package(Qt6 REQUIRED COMPONENTS Test)
zarvion_test(test_viewer_app
  SOURCES viewer_reconnect_policy_test.cpp viewer_connect_dialog_test.cpp
    viewer_recent_recorders_test.cpp viewer_recorder_tab_test.cpp viewer_main_window_test.cpp
    viewer_recording_test.cpp viewer_alarms_test.cpp viewer_motion_test.cpp
    viewer_motion_settings_test.cpp
    viewer_recording_test.cpp
    viewer_host_names_test.cpp viewer_names_test.cpp mp43_test_frames.cpp
    ui_test_main.cpp
  LIBS zarvion_viewer_app zarvion_dvrsim Qt6::Test)

# The same pieces with English chosen, as the viewer installs it at start:
# a program of its own, since the language is chosen once per process.
zarvion_test(test_viewer_english
  SOURCES viewer_english_test.cpp ui_test_main.cpp
  LIBS zarvion_viewer_app zarvion_dvrsim Qt6::Test)

# The catalogue holds every text of the code, each with its translation.
find_program(ZARVION_LUPDATE NAMES lupdate lupdate-qt6 HINTS /usr/lib/qt6/bin REQUIRED)
add_test(NAME Translations.EveryTextHasAnEnglishTranslation
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/translations_check.sh ${ZARVION_LUPDATE} ${CMAKE_SOURCE_DIR})

# The review window and its player over real recordings.
zarvion_test(test_viewer_review
  SOURCES viewer_review_test.cpp mp43_test_frames.cpp ui_test_main.cpp
  LIBS zarvion_viewer_app zarvion_dvrsim Qt6::Test)
