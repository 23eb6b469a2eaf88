# The random hostile server as a bounded test with a fixed seed: whole
# sessions of hostile messages into the real decoders, recorder and renderer.
# ZARVION_HOSTILE_SESSIONS sets a longer run (`make fuzz` does).
zarvion_test(test_hostile_session SOURCES hostile_session_test.cpp mp43_test_frames.cpp
  gui_test_main.cpp LIBS zarvion_net zarvion_video)
