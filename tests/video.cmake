# Video pipeline: the media stand-ins (surface, decompressor, AVI writer) and
# the decoder, renderer, recording and snapshots, checked against ffmpeg.
zarvion_test(test_media SOURCES media_test.cpp mp43_test_frames.cpp gui_test_main.cpp LIBS zarvion_media)
zarvion_test(test_video SOURCES video_test.cpp mp43_test_frames.cpp gui_test_main.cpp LIBS zarvion_video)
zarvion_test(test_composed_text SOURCES composed_text_test.cpp gui_test_main.cpp LIBS zarvion_video)
