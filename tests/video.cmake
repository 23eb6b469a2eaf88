# Video pipeline: the media stand-ins (surface, decompressor, AVI writer) and
# the decoder, renderer, recording and snapshots, checked against ffmpeg.
zarvion_test(test_media SOURCES media_test.cpp mp43_test_frames.cpp gui_test_main.cpp LIBS zarvion_media)
zarvion_test(test_video SOURCES video_test.cpp mp43_test_frames.cpp gui_test_main.cpp LIBS zarvion_video)
zarvion_test(test_motion SOURCES motion_test.cpp motion_scene_test.cpp LIBS zarvion_video zarvion_dvrsim)
zarvion_test(test_composed_text SOURCES composed_text_test.cpp gui_test_main.cpp LIBS zarvion_video)
# Recordings under stress: a killed recording process, a full file system,
# the size split, and the repair of a lost index.
add_executable(record_child record_child.cpp)
target_link_libraries(record_child PRIVATE zarvion_video)
target_include_directories(record_child PRIVATE ${CMAKE_SOURCE_DIR}/src)
zarvion_test(test_recording SOURCES recording_test.cpp mp43_test_frames.cpp gui_test_main.cpp
  LIBS zarvion_video)
add_dependencies(test_recording record_child zarvion-avi-repair)
zarvion_test(test_repair SOURCES repair_test.cpp mp43_test_frames.cpp gui_test_main.cpp
  LIBS zarvion_video)
