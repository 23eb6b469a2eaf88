// Fuzz target: arbitrary bytes as the server's side of a whole session.
#include <QGuiApplication>

extern "C" {
#include <libavutil/log.h>
}

#include "session_harness.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Broken frames are the point here; the decoder's remarks on each are not.
  av_log_set_level(AV_LOG_QUIET);
  // Text drawing needs the application; it lives as long as the process.
  static QGuiApplication* app = new QGuiApplication(*argc, *argv);
  (void)app;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zarvion::fuzz::Session session;
  session.Run(data, size);
  return 0;
}
