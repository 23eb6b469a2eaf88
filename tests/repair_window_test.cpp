// The start-up repair of recordings seen from the control window: the
// window comes up at once whatever the record folder holds, tells its host
// how the repair goes, and can be closed while the repair runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>

#include "mp43_test_frames.h"
#include "net/control_object.h"
#include "platform/avi_file.h"
#include "platform/registry.h"
#include "settings/settings_store.h"
#include "ui_test_util.h"
#include "window/control_window.h"

namespace zarvion {
namespace {

using testing::WaitUntil;

// A record folder of its own, named in the settings.
std::string RecordFolder(const std::string& name) {
  const std::string folder = testing::TestHome() + "/" + name;
  ::mkdir(folder.c_str(), 0755);
  EXPECT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, folder));
  return folder;
}

// A recording of ten frames left without index, as a kill leaves it.
void WriteCrashRecording(const std::string& path) {
  const std::vector<testing::EncodedFrame> frames = testing::EncodeTestFrames(10, 4);
  std::string bytes;
  {
    auto avi = AviFile::Open(path + ".writing", kOfCreate | kOfWrite);
    AviStream* stream = testing::CreateMp43Stream(*avi);
    for (size_t i = 0; i < frames.size(); ++i) {
      ASSERT_TRUE(stream->Write(static_cast<int32_t>(i), 1, frames[i].bytes.data(),
                                static_cast<uint32_t>(frames[i].bytes.size()), frames[i].Flags()));
    }
    std::ifstream in(path + ".writing", std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    avi->Discard();
  }
  std::ofstream(path, std::ios::binary) << bytes;
}

// Our header, then `bytes` without a frame (sparse: cheap to make).
void WriteEmptyGiant(const std::string& path, off_t bytes) {
  WriteCrashRecording(path);
  ASSERT_EQ(::truncate(path.c_str(), 224), 0);
  ASSERT_EQ(::truncate(path.c_str(), 224 + bytes), 0);
}

struct stat Stat(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st;
}

std::unique_ptr<ControlWindow> OpenWindow(ControlObject& obj) {
  ControlWindowOptions options;
  options.startConnectionThread = false;
  auto window = std::make_unique<ControlWindow>(obj, nullptr, options);
  window->resize(644, 506);
  window->show();
  return window;
}

TEST(StartupRepairWindow, ComesUpAtOnceAndTellsItsHostHowTheRepairGoes) {
  const std::string folder = RecordFolder("rec-up");
  WriteCrashRecording(folder + "/CLIENT_CH01_crash.avi");
  const std::string giant = folder + "/CLIENT_CH05_giant.avi";
  WriteEmptyGiant(giant, off_t{400} << 20);
  const struct stat before = Stat(giant);

  const auto start = std::chrono::steady_clock::now();
  ControlObject obj;
  auto window = OpenWindow(obj);
  std::vector<QString> said;
  QObject::connect(window.get(), &ControlWindow::RecordingsRepairStatus,
                   [&](const QString& text) { said.push_back(text); });
  ASSERT_TRUE(WaitUntil([&] { return window->isVisible(); }, 3000 * testing::kSlowdown));
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(3000 * testing::kSlowdown));

  ASSERT_NE(window->Repair(), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return !said.empty() && said.back() == "录像检查完毕：修复 1 个，1 个未改动"; },
                        120000));
  bool progress = false;
  bool repaired = false;
  bool leftAlone = false;
  for (const QString& s : said) {
    progress |= s.startsWith("正在检查录像 CLIENT_CH05_giant.avi（2/2）");
    repaired |= s == "录像 CLIENT_CH01_crash.avi 已修复（10 帧）";
    leftAlone |= s == "录像 CLIENT_CH05_giant.avi 没有完整的帧，未改动";
  }
  EXPECT_TRUE(progress);
  EXPECT_TRUE(repaired);
  EXPECT_TRUE(leftAlone);
  const struct stat after = Stat(giant);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_blocks, before.st_blocks);
}

TEST(StartupRepairWindow, ClosedWhileTheRepairRunsLeavesTheFileAsItWas) {
  const std::string folder = RecordFolder("rec-close");
  const std::string giant = folder + "/CLIENT_CH05_giant.avi";
  WriteEmptyGiant(giant, off_t{4000} << 20);
  for (int i = 0; i < 3; ++i) {
    ControlObject obj;
    auto window = OpenWindow(obj);
    testing::Pump(i * 50);
    window.reset();
  }
  EXPECT_EQ(Stat(giant).st_size, 224 + (off_t{4000} << 20));
}

}  // namespace
}  // namespace zarvion
