# The log: lines by category through a sink of the test's own, and through
# standard error and Qt's categories in a child process.
zarvion_test(test_log SOURCES log_test.cpp mp43_test_frames.cpp
  LIBS zarvion_shell zarvion_window zarvion_net zarvion_video)
