// main() of the window and UI tests: a QApplication (offscreen unless the
// caller chose a platform) in a private, empty home with its own registry.
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <QApplication>
#include <QTemporaryDir>

#include "ui_test_util.h"

namespace {
std::unique_ptr<QTemporaryDir> home;
}

std::string zarvion::testing::TestHome() {
  return home->path().toStdString();
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  home = std::make_unique<QTemporaryDir>();
  const std::string path = home->path().toStdString();
  setenv("HOME", path.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (path + "/.config").c_str(), 1);
  setenv("ZARVION_REGISTRY_DIR", (path + "/registry").c_str(), 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  home.reset();
  return result;
}
