// Helpers of the viewer's tests: simulated recorders, what a tab's panes
// show, and a fixture that starts from an empty viewer key.
#pragma once

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QImage>

#include "dvrsim/dvrsim.h"
#include "platform/registry.h"
#include "ui_test_util.h"
#include "viewer/recent_recorders.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace zarvion::viewer::test {

using zarvion::testing::WaitUntil;
using State = RecorderTab::State;

inline const int kSlow = zarvion::testing::kSlowdown;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::unique_ptr<dvrsim::Server> StartRecorder(uint16_t port = 0,
                                                     const char* login = nullptr) {
  dvrsim::Options options;
  options.port = port;
  options.fps = 10;
  options.gop = 10;
  if (login) options.login = login;
  auto server = std::make_unique<dvrsim::Server>(options);
  if (!server->Start()) return nullptr;
  return server;
}

inline int Logins(const dvrsim::Server& server) {
  int n = 0;
  for (const auto& m : server.Messages()) n += m.header.code == zarvion::kLogin;
  return n;
}

// The colour at the middle of each of the 16 panes of a tab's control.
inline std::vector<QRgb> PaneColours(RecorderTab& tab) {
  const QImage image = tab.Window()->grab().toImage();
  const int paneW = image.width() / 4;
  const int paneH = (image.height() - 20) / 4;
  std::vector<QRgb> colours;
  for (int p = 0; p < 16; ++p) {
    colours.push_back(image.pixel((p % 4) * paneW + paneW / 4, (p / 4) * paneH + paneH * 2 / 3));
  }
  return colours;
}

inline bool AllPanesWithoutSignal(RecorderTab& tab) {
  for (QRgb c : PaneColours(tab)) {
    if (c != qRgb(0, 0, 200)) return false;
  }
  return true;
}

// True once pictures show and keep changing, i.e. frames keep arriving.
inline bool PicturesMove(RecorderTab& tab, int timeoutMs) {
  if (!WaitUntil([&] { return !AllPanesWithoutSignal(tab); }, timeoutMs)) return false;
  const QImage before = tab.Window()->grab().toImage();
  return WaitUntil([&] { return tab.Window()->grab().toImage() != before; }, timeoutMs);
}

inline Recorder At(const dvrsim::Server& server, const std::string& login = "user") {
  Recorder r;
  r.host = "127.0.0.1";
  r.port = server.Port();
  r.login = login;
  return r;
}

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(RegDeleteKey(Hive::kCurrentUser, kViewerKey)); }
};

}  // namespace zarvion::viewer::test
