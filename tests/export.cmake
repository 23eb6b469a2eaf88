# The export of recordings (zarvion-export), read back by ffprobe and ffmpeg.
zarvion_test(test_export SOURCES export_test.cpp recording_reader_test.cpp mp43_test_frames.cpp
  gui_test_main.cpp LIBS zarvion_export zarvion_dvrsim)
add_dependencies(test_export zarvion-export)
