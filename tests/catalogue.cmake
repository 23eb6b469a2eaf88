# The recordings' catalogue (entered as recordings start and end, kept
# across runs, reconciled with its folders, rebuilt when damaged) and the
# export dialog on real recordings, read back by ffprobe.
zarvion_test(test_viewer_catalogue
  SOURCES catalogue_test.cpp export_dialog_test.cpp mp43_test_frames.cpp ui_test_main.cpp
  LIBS zarvion_viewer_app Qt6::Test)
