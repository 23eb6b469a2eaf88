# Video pipeline: the media stand-ins (surface, decompressor, AVI writer) and
# the decoder, renderer, recording and snapshots, checked against ffmpeg.
zarvion_test(media_test SOURCES media_test.cpp mp43_test_frames.cpp LIBS zarvion_media)
zarvion_test(video_test SOURCES video_test.cpp mp43_test_frames.cpp LIBS zarvion_video)
