# The export of recordings (zarvion-export), read back by ffprobe and ffmpeg.
zarvion_test(test_export SOURCES export_test.cpp mp43_test_frames.cpp gui_test_main.cpp
  LIBS zarvion_export)
add_dependencies(test_export zarvion-export)
