// The control window in a session with the simulated recorder: real
// widgets offscreen, the real connection thread, decoders and renderer; what
// the window sent is read back from the recorder's log, and the files it
// wrote with ffprobe.
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QLineEdit>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTreeWidget>

#include "dvrsim/dvrsim.h"
#include "platform/registry.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "settings/settings_store.h"
#include "shell/control_host.h"
#include "shell/zarvinet.h"
#include "slider_test_util.h"
#include "ui_test_util.h"
#include "video/channel_decoder.h"
#include "window/notice_box.h"
#include "window/window_layout.h"

namespace zarvion {
namespace {

namespace fs = std::filesystem;
using dvrsim::LoggedMessage;

// Every wait is on a condition; the bound is generous so that a sanitizer
// build on a loaded machine never runs out of it.
constexpr int kWaitMs = 30000;
using testing::Pump;
using testing::WaitUntil;

Variant Text(std::u16string_view s) {
  return Variant::Bstr(s);
}

std::u16string Ascii16(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

// Output of a command line, or "" when it failed.
std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  return pclose(pipe) == 0 ? out : std::string();
}

std::vector<fs::path> FilesIn(const fs::path& folder, const std::string& extension) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().extension() == extension) found.push_back(entry.path());
  }
  return found;
}

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RegDeleteKey(Hive::kCurrentUser, kSettingsKey));
    dvrsim::Options options;
    options.channels = 16;
    options.recordings = 4;
    // Enough to see pictures and rates move; the machine is shared.
    options.fps = 10;
    options.gop = 10;
    server_ = std::make_unique<dvrsim::Server>(options);
    ASSERT_TRUE(server_->Start()) << server_->Error();
    Open();
    Connect();
  }
  void TearDown() override {
    window_.reset();
    server_.reset();
  }

  void Open(bool realBoxes = false) {
    ControlWindowOptions options;
    if (!realBoxes) {
      options.showWarning = [this](const QString& caption, const QString& text) {
        boxes_.emplace_back(caption, text);
      };
    }
    window_ = CreateControlWindow(control_, nullptr, options);
    window_->resize(644, 506);
    window_->show();
    Pump(30);
  }

  void Connect() {
    const std::u16string port = Ascii16(std::to_string(server_->Port()));
    control_.ConnectServer(Text(u"127.0.0.1"), Text(port), Text(u"user"));
    ASSERT_TRUE(WaitUntil([&] { return control_.Object().bConnected.load() == 1; }, kWaitMs));
    // The session start is over once live pictures arrive; before that the
    // client reads only the replies it asked for.
    ASSERT_TRUE(WaitUntil([&] { return window_->Decoder(0)->bSignal.load() == 1; }, kWaitMs));
    ASSERT_TRUE(Enabled(kIdPlaybackRequest));
  }

  // True once the recorder has logged a matching message from the newest
  // client, serving the window meanwhile.
  bool Logged(const std::function<bool(const LoggedMessage&)>& match, int timeoutMs = kWaitMs) {
    return WaitUntil(
        [&] {
          for (const LoggedMessage& m : server_->Messages()) {
            if (match(m)) return true;
          }
          return false;
        },
        timeoutMs);
  }
  bool LoggedMask(uint16_t mask) {
    return Logged([mask](const LoggedMessage& m) {
      return m.header.code == kSelectChannels && m.header.param0 == mask;
    });
  }
  size_t Count(uint8_t code) const {
    size_t n = 0;
    for (const LoggedMessage& m : server_->Messages()) n += m.header.code == code;
    return n;
  }

  void DoubleClick(QPoint at) {
    QCursor::setPos(window_->mapToGlobal(at));
    QTest::mouseDClick(window_.get(), Qt::LeftButton, {}, at);
  }
  void Click(int id) { window_->Button(id)->click(); }
  bool Enabled(int id) const { return window_->Control(id)->isEnabled(); }
  QString Caption(int id) const { return window_->Button(id)->text(); }

  // Enlarges channel 6 (pane 5 of the 4 x 4 grid) once it has sent frames.
  void EnlargeChannel6() {
    ASSERT_TRUE(WaitUntil([&] { return window_->Decoder(5)->bSignal.load() == 1; }, kWaitMs));
    DoubleClick(QPoint(243, 183));
    ASSERT_EQ(control_.Object().dwDrawMode.load(), 5u);
  }

  fs::path Home() const { return testing::TestHome(); }

  // Requests the list and plays its row `row` by a double-click.
  void Play(int row) {
    Click(kIdPlaybackRequest);
    PlaybackDialog* playback = window_->Playback();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(playback));
    ASSERT_TRUE(WaitUntil([&] { return playback->RowCount() == 4; }, 5000));
    QTreeWidget* list = playback->List();
    const QPoint at = list->visualItemRect(list->topLevelItem(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    ASSERT_TRUE(
        WaitUntil([&] { return control_.Object().dwDrawMode.load() == kDrawPlayback; }, 5000));
  }
  // The index in the log of the first message from `from` on that matches.
  std::optional<size_t> FindFrom(size_t from,
                                 const std::function<bool(const LoggedMessage&)>& match,
                                 int timeoutMs = 5000) {
    std::optional<size_t> found;
    WaitUntil(
        [&] {
          const auto log = server_->Messages();
          for (size_t i = from; i < log.size(); ++i) {
            if (match(log[i])) {
              found = i;
              return true;
            }
          }
          return false;
        },
        timeoutMs);
    return found;
  }

  Zarvinet control_;
  std::unique_ptr<dvrsim::Server> server_;
  std::unique_ptr<ControlWindow> window_;
  std::vector<std::pair<QString, QString>> boxes_;
};

TEST_F(Session, DoubleClickSelectsOneChannelAndReturnsToTheGrid) {
  EnlargeChannel6();
  EXPECT_TRUE(LoggedMask(0x0020));
  EXPECT_TRUE(Enabled(kIdRecord));
  EXPECT_TRUE(Enabled(kIdCapture));
  EXPECT_EQ(Caption(kIdRecord), QString::fromUtf8("录像"));

  DoubleClick(QPoint(20, 20));
  EXPECT_EQ(control_.Object().dwDrawMode.load(), kDrawGrid16);
  EXPECT_TRUE(LoggedMask(0xFFFF));
  EXPECT_FALSE(Enabled(kIdRecord));
  EXPECT_FALSE(Enabled(kIdCapture));
}

TEST_F(Session, RecordTwiceWritesOneAviAndCaptureOneBmp) {
  EnlargeChannel6();
  Click(kIdRecord);
  EXPECT_EQ(Caption(kIdRecord), QString::fromUtf8("停止"));
  Click(kIdCapture);
  // At least ten frames recorded: the frame count in the file's header is
  // kept current as frames are appended.
  const fs::path movies = Home() / "Holmvard" / "Movie";
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto files = FilesIn(movies, ".avi");
        if (files.size() != 1) return false;
        std::ifstream f(files[0], std::ios::binary);
        unsigned char count[4] = {};
        f.seekg(48);
        f.read(reinterpret_cast<char*>(count), 4);
        return f && (count[0] | count[1] << 8 | count[2] << 16) >= 10;
      },
      kWaitMs));
  Click(kIdRecord);
  EXPECT_EQ(Caption(kIdRecord), QString::fromUtf8("录像"));

  const auto avis = FilesIn(Home() / "Holmvard" / "Movie", ".avi");
  ASSERT_EQ(avis.size(), 1u);
  EXPECT_EQ(avis[0].filename().string().rfind("CLIENT_CH06_", 0), 0u) << avis[0];
  const std::string probe = Output(
      "ffprobe -v error -count_frames -select_streams v:0 "
      "-show_entries stream=codec_name,width,height,nb_read_frames "
      "-of csv=p=0 '" +
      avis[0].string() + "'");
  ASSERT_FALSE(probe.empty());
  int width = 0, height = 0, frames = 0;
  char codec[32] = {};
  ASSERT_EQ(std::sscanf(probe.c_str(), "%31[^,],%d,%d,%d", codec, &width, &height, &frames), 4)
      << probe;
  EXPECT_STREQ(codec, "msmpeg4v3");
  EXPECT_EQ(width, 352);
  EXPECT_EQ(height, 288);
  EXPECT_GE(frames, 10);

  const auto bmps = FilesIn(Home() / "Holmvard" / "Bitmap", ".bmp");
  ASSERT_EQ(bmps.size(), 1u);
  EXPECT_EQ(bmps[0].filename().string().rfind("CH06_", 0), 0u) << bmps[0];
  EXPECT_EQ(fs::file_size(bmps[0]), 405558u);
  EXPECT_EQ(Output("ffprobe -v error -show_entries stream=width,height -of csv=p=0 '" +
                   bmps[0].string() + "'"),
            "352,288\n");
}

// A small tmpfs over a folder for one test (needs root).
class SmallFileSystem {
 public:
  SmallFileSystem(const fs::path& folder, const char* size) : folder_(folder) {
    fs::create_directories(folder);
    const std::string options = std::string("size=") + size;
    mounted_ = geteuid() == 0 && mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  fs::path folder_;
  bool mounted_ = false;
};

TEST_F(Session, FullDiskStopsTheRecordingAndTheVideoGoesOn) {
  const fs::path movies = Home() / "Holmvard" / "Movie";
  const fs::path bitmaps = Home() / "Holmvard" / "Bitmap";
  SmallFileSystem movieFs(movies, "96k");
  SmallFileSystem bitmapFs(bitmaps, "64k");
  if (!movieFs.Mounted() || !bitmapFs.Mounted()) {
    GTEST_SKIP() << "needs root to mount a small tmpfs; not checked here";
  }
  {
    // The snapshot folder is full from the start.
    std::ofstream filler(bitmaps / "filler", std::ios::binary);
    const std::string block(4096, '\0');
    for (int i = 0; i < 64 && filler; ++i) filler.write(block.data(), block.size());
  }
  EnlargeChannel6();
  Click(kIdRecord);
  ASSERT_EQ(Caption(kIdRecord), QString::fromUtf8("停止"));
  // The file system fills; the recording stops by itself and says so.
  ASSERT_TRUE(WaitUntil([&] { return Caption(kIdRecord) == QString::fromUtf8("录像"); }, kWaitMs));
  CChannelDecoder* decoder = window_->Decoder(5);
  EXPECT_EQ(decoder->bRecording.load(), 0);
  const auto avis = FilesIn(movies, ".avi");
  ASSERT_EQ(avis.size(), 1u);
  // Indexed, and every frame it holds reads back.
  const std::string packets = Output(
      "ffprobe -v error -select_streams v -show_entries "
      "packet=flags -of csv=p=0 '" +
      avis[0].string() + "'");
  ASSERT_FALSE(packets.empty());
  // Key flags kept (the recording starts with whatever frame came first).
  EXPECT_NE(packets.find("K_"), std::string::npos) << packets;
  EXPECT_NE(packets.find("__"), std::string::npos) << packets;
  // ffmpeg decodes it; it may only remark that the file opens on a P-frame.
  const std::string decoded =
      Output("ffmpeg -v warning -nostdin -i '" + avis[0].string() + "' -f null - 2>&1 && echo ok");
  EXPECT_EQ(decoded.substr(decoded.size() >= 3 ? decoded.size() - 3 : 0), "ok\n") << decoded;
  EXPECT_EQ(decoded.find("rror"), std::string::npos) << decoded;

  // A snapshot into the full folder leaves nothing behind.
  Click(kIdCapture);
  ASSERT_TRUE(WaitUntil([&] { return control_.Object().bSnapshot.load() == 0; }, kWaitMs));
  // The request is taken before the file is written, so the torn file may
  // still be there for a moment; it must not stay.
  EXPECT_TRUE(WaitUntil([&] { return FilesIn(bitmaps, ".bmp").empty(); }, kWaitMs));

  // The control still streams: the channel's frames keep being decoded.
  decoder->bSignal.store(0);
  EXPECT_TRUE(WaitUntil([&] { return decoder->bSignal.load() == 1; }, kWaitMs));
  EXPECT_EQ(control_.Object().bConnected.load(), 1u);
}

TEST_F(Session, SettingsOkSavesAndSelectsTheGrid) {
  Click(kIdSettings);
  SettingsDialog* settings = window_->Settings();
  ASSERT_TRUE(settings->isVisible());
  static_cast<QAbstractButton*>(settings->Item(kIdGrid4))->click();
  static_cast<QAbstractButton*>(settings->Item(1))->click();
  EXPECT_FALSE(settings->isVisible());
  EXPECT_EQ(control_.Object().dwDrawMode.load(), kDrawGrid4);
  EXPECT_EQ(control_.Object().dwSavedDrawMode.load(), kDrawGrid4);
  EXPECT_TRUE(LoggedMask(0x000F));

  ASSERT_TRUE(fs::exists(HiveFilePath(Hive::kCurrentUser)));
  uint32_t mode = 0;
  std::string cap, record;
  EXPECT_TRUE(RegGetDword(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, &mode));
  EXPECT_EQ(mode, kDrawGrid4);
  EXPECT_TRUE(RegGetString(Hive::kCurrentUser, kSettingsKey, kCapDirValue, &cap));
  EXPECT_TRUE(RegGetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, &record));
  EXPECT_EQ(cap, (Home() / "Holmvard" / "Bitmap").string());
  EXPECT_EQ(record, (Home() / "Holmvard" / "Movie").string());
}

TEST_F(Session, PictureSettingsFollowTheChannelListAndTheSliders) {
  Click(kIdSettings);
  SettingsDialog* settings = window_->Settings();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(settings));
  auto* combo = static_cast<QComboBox*>(settings->Item(kIdChannelList));
  ASSERT_TRUE(WaitUntil([&] { return combo->isEnabled() && combo->count() == 17; }, kWaitMs));
  auto slider = [&](int id) { return static_cast<QSlider*>(settings->Item(id)); };

  // Channel 3's stored settings come from the recorder's table.
  combo->setCurrentIndex(3);
  const auto& entry = control_.Object().byVideoParam[2];
  EXPECT_EQ(slider(kIdBrightness)->value(), entry[0]);
  EXPECT_EQ(slider(kIdHue)->value(), entry[1]);
  EXPECT_EQ(slider(kIdSaturation)->value(), entry[2]);
  EXPECT_EQ(slider(kIdContrast)->value(), entry[3]);

  slider(kIdBrightness)->setValue(128);
  slider(kIdHue)->setValue(0);
  slider(kIdSaturation)->setValue(100);
  slider(kIdContrast)->setValue(68);
  QTest::mouseRelease(slider(kIdSaturation), Qt::LeftButton);
  EXPECT_TRUE(Logged([](const LoggedMessage& m) {
    const MessageHeader& h = m.header;
    return h.code == kVideoParamSet && h.channel == 3 && h.param0 == 100 && h.param1 == 68 &&
           h.param2 == 128 && h.param3 == 0;
  }));

  // Chosen again, channel 3 shows what was sent, not the first table.
  combo->setCurrentIndex(1);
  combo->setCurrentIndex(3);
  EXPECT_EQ(slider(kIdBrightness)->value(), 128);
  EXPECT_EQ(slider(kIdHue)->value(), 0);
  EXPECT_EQ(slider(kIdSaturation)->value(), 100);
  EXPECT_EQ(slider(kIdContrast)->value(), 68);

  // A key stroke on a slider is sent like a release.
  slider(kIdContrast)->setFocus();
  QTest::keyClick(slider(kIdContrast), Qt::Key_Left);
  EXPECT_TRUE(Logged([](const LoggedMessage& m) {
    const MessageHeader& h = m.header;
    return h.code == kVideoParamSet && h.channel == 3 && h.param1 == 67;
  }));
}

TEST_F(Session, PlaybackFromTheListToStop) {
  ASSERT_TRUE(WaitUntil([&] { return Enabled(kIdPlaybackRequest); }, kWaitMs));
  Click(kIdPlaybackRequest);
  PlaybackDialog* playback = window_->Playback();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(playback));
  ASSERT_TRUE(WaitUntil([&] { return playback->RowCount() == 4; }, kWaitMs));

  QTreeWidget* list = playback->List();
  QTreeWidgetItem* row = list->topLevelItem(2);
  const QPoint at = list->visualItemRect(row).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  const std::string location = playback->RowLocation(2);
  EXPECT_TRUE(Logged([&](const LoggedMessage& m) {
    return m.header.code == kPlayFileRequest && m.payload.size() == kFileRecordSize &&
           std::string(reinterpret_cast<const char*>(m.payload.data()) + kFileLocationOffset) ==
               location;
  }));
  EXPECT_FALSE(playback->isVisible());
  EXPECT_FALSE(Enabled(kIdRecord));

  ASSERT_TRUE(
      WaitUntil([&] { return control_.Object().dwDrawMode.load() == kDrawPlayback; }, kWaitMs));
  EXPECT_TRUE(LoggedMask(0));
  EXPECT_TRUE(Enabled(kIdPlayPause) && Enabled(kIdStop) && Enabled(kIdPosition));
  EXPECT_TRUE(Enabled(kIdCapture));
  EXPECT_FALSE(Enabled(kIdSettings));
  EXPECT_EQ(Caption(kIdPlayPause), QString::fromUtf8("暂停"));
  EXPECT_TRUE(Logged([](const LoggedMessage& m) { return m.header.code == kPlaybackStep; }));

  // Paused, the slider let go at 40 resumes there.
  Click(kIdPlayPause);
  EXPECT_EQ(Caption(kIdPlayPause), QString::fromUtf8("播放"));
  // A step already under way when the pause came still moves the slider.
  Pump(300);
  QSlider* position = window_->PositionSlider();
  position->setValue(40);
  QTest::mouseRelease(position, Qt::LeftButton, {}, QPoint(2, 2));
  EXPECT_TRUE(Logged([](const LoggedMessage& m) {
    return m.header.code == kPlaybackStep && PlaybackStepNumber(m.header) == 40;
  }));
  EXPECT_EQ(Caption(kIdPlayPause), QString::fromUtf8("暂停"));

  const size_t stopsBefore = Count(kPlaybackStop);
  Click(kIdStop);
  // The request is sent at once, but the simulator logs it when it has read it.
  EXPECT_TRUE(WaitUntil([&] { return Count(kPlaybackStop) == stopsBefore + 1; }, kWaitMs));
  EXPECT_TRUE(LoggedMask(0xFFFF));
  EXPECT_EQ(control_.Object().dwDrawMode.load(), kDrawGrid16);
  EXPECT_FALSE(Enabled(kIdPlayPause) || Enabled(kIdStop) || Enabled(kIdPosition) ||
               Enabled(kIdCapture));
  EXPECT_TRUE(Enabled(kIdSettings));
  EXPECT_EQ(position->value(), 0);
  EXPECT_EQ(Caption(kIdPlayPause), QString::fromUtf8("暂停"));
}

TEST_F(Session, AResizeDuringAPlaybackLeavesAWayOut) {
  Play(1);
  window_->showMaximized();
  Pump(100);
  window_->resize(500, 400);
  Pump(100);
  EXPECT_TRUE(Enabled(kIdPlayPause) && Enabled(kIdStop) && Enabled(kIdPlaybackRequest));
  Click(kIdPlayPause);
  EXPECT_EQ(control_.Object().bPaused.load(), 1u);
  const size_t mark = server_->Messages().size();
  Click(kIdStop);
  const auto stop =
      FindFrom(mark, [](const LoggedMessage& m) { return m.header.code == kPlaybackStop; });
  ASSERT_TRUE(stop);
  EXPECT_TRUE(FindFrom(*stop, [](const LoggedMessage& m) {
    return m.header.code == kSelectChannels && m.header.param0 == 0xFFFF;
  }));
  EXPECT_EQ(control_.Object().dwDrawMode.load(), kDrawGrid16);
  // The list can be asked for again.
  ASSERT_TRUE(Enabled(kIdPlaybackRequest));
  Click(kIdPlaybackRequest);
  EXPECT_TRUE(window_->Playback()->isVisible());
  EXPECT_TRUE(WaitUntil([&] { return window_->Playback()->RowCount() == 4; }, 5000));
}

TEST_F(Session, AReleaseAfterHoldingTheSliderSeeksWhereItWasLetGo) {
  Play(0);
  ASSERT_TRUE(Logged([](const LoggedMessage& m) {
    return m.header.code == kPlaybackStep && PlaybackStepNumber(m.header) >= 2;
  }));
  QSlider* slider = window_->PositionSlider();
  zarvion::testing::PressSliderHandle(slider);
  ASSERT_TRUE(slider->isSliderDown());
  // Dragged far ahead, then held still while the steps go on.
  const int target = slider->maximum() / 2;
  slider->setSliderPosition(target);
  const size_t held = server_->Messages().size();
  ASSERT_TRUE(
      FindFrom(held, [](const LoggedMessage& m) { return m.header.code == kPlaybackStep; }));
  Pump(300);
  EXPECT_EQ(slider->value(), target);
  const size_t mark = server_->Messages().size();
  QTest::mouseRelease(slider, Qt::LeftButton, {}, slider->rect().center());
  slider->setSliderDown(false);
  // The release's own position is what the release seeks to; a step in
  // flight may still carry the old count once.
  const auto seek = FindFrom(mark, [target](const LoggedMessage& m) {
    return m.header.code == kPlaybackStep && PlaybackStepNumber(m.header) == uint32_t(target);
  });
  EXPECT_TRUE(seek);
  if (!seek) {
    for (size_t i = mark; i < server_->Messages().size(); ++i) {
      const auto& m = server_->Messages()[i];
      if (m.header.code == kPlaybackStep)
        ADD_FAILURE() << "step " << PlaybackStepNumber(m.header) << " target " << target
                      << " value " << slider->value();
    }
  }
}

TEST_F(Session, ServerViewsKeepButtonsAndTheWayBackToTheGrid) {
  ASSERT_TRUE(WaitUntil([&] { return window_->Decoder(2)->bSignal.load() == 1; }, 5000));
  ASSERT_TRUE(server_->Command("view single 3"));
  ASSERT_TRUE(WaitUntil([&] { return control_.Object().dwDrawMode.load() == 2u; }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return Enabled(kIdRecord) && Enabled(kIdCapture); }, 5000));
  Click(kIdRecord);
  ASSERT_EQ(window_->Decoder(2)->bRecording.load(), 1);

  // A second single view: the first channel's recording ends, the grid
  // stays the view to return to.
  ASSERT_TRUE(server_->Command("view single 5"));
  ASSERT_TRUE(WaitUntil([&] { return control_.Object().dwDrawMode.load() == 4u; }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return window_->Decoder(2)->bRecording.load() == 0; }, 5000));
  EXPECT_EQ(Caption(kIdRecord), QString::fromUtf8("录像"));
  EXPECT_EQ(control_.Object().dwSavedDrawMode.load(), kDrawGrid16);
  DoubleClick(QPoint(20, 20));
  EXPECT_EQ(control_.Object().dwDrawMode.load(), kDrawGrid16);
  EXPECT_TRUE(LoggedMask(0xFFFF));

  // Leaving one channel for a grid the server chose turns both off.
  EnlargeChannel6();
  ASSERT_TRUE(server_->Command("view grid 9"));
  ASSERT_TRUE(WaitUntil([&] { return !Enabled(kIdRecord) && !Enabled(kIdCapture); }, 5000));
  EXPECT_EQ(control_.Object().dwDrawMode.load(), kDrawGrid9);
}

TEST_F(Session, AFloodOfNoticesLeavesTheViewerUsableAndInStep) {
  window_.reset();
  ASSERT_TRUE(WaitUntil([&] { return server_->ConnectedClients() == 0; }, 5000));
  Open(/*realBoxes=*/true);
  Connect();
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(server_->Command("notice 第" + std::to_string(i)));
  auto shownBoxes = [] {
    std::vector<NoticeBox*> shown;
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<NoticeBox*>(top); box && box->isVisible()) {
        shown.push_back(box);
      }
    }
    return shown;
  };
  // The latest text wins, in one box, and the session is still in step:
  // a view change sent after the flood is understood.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto shown = shownBoxes();
        return shown.size() == 1 && shown[0]->Text() == QString::fromUtf8("第9999");
      },
      60000 * testing::kSlowdown));
  ASSERT_TRUE(server_->Command("view grid 4"));
  EXPECT_TRUE(WaitUntil([&] { return control_.Object().dwDrawMode.load() == kDrawGrid4; }, 5000));
  EXPECT_EQ(shownBoxes().size(), 1u);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // The toolbar and the dialogs are not blocked by the box.
  Click(kIdSettings);
  EXPECT_TRUE(window_->Settings()->isVisible());
}

TEST_F(Session, PlaybackMessagesGoOutInOrderUnderTheirNumbers) {
  // The numbers are written out: a shared enum with a wrong value would
  // agree with itself.
  const size_t mark = server_->Messages().size();
  Play(1);
  const auto list = FindFrom(mark, [](const LoggedMessage& m) { return m.header.code == 3; });
  ASSERT_TRUE(list);
  const auto stop = FindFrom(*list, [](const LoggedMessage& m) { return m.header.code == 10; });
  ASSERT_TRUE(stop);
  ASSERT_TRUE(FindFrom(*stop + 2, [](const LoggedMessage& m) { return m.header.code == 9; }));
  const auto log = server_->Messages();
  // PlaybackStop, PlayFileRequest, then, once PlaybackInfo is in, the live
  // channels off and the first step.
  EXPECT_EQ(log[*stop + 1].header.code, 5);
  EXPECT_EQ(log[*stop + 2].header.code, 8);
  EXPECT_EQ(log[*stop + 2].header.param0, 0);
  EXPECT_EQ(log[*stop + 3].header.code, 9);
  EXPECT_EQ(PlaybackStepNumber(log[*stop + 3].header), 0u);
  for (size_t i = mark; i < log.size(); ++i) EXPECT_TRUE(log[i].checksumValid) << i;

  // Stop: PlaybackStop before the grid's mask.
  const size_t beforeStop = server_->Messages().size();
  Click(kIdStop);
  const auto stopped =
      FindFrom(beforeStop, [](const LoggedMessage& m) { return m.header.code == 10; });
  ASSERT_TRUE(stopped);
  const auto mask = FindFrom(beforeStop, [](const LoggedMessage& m) { return m.header.code == 8; });
  ASSERT_TRUE(mask);
  EXPECT_LT(*stopped, *mask);
  EXPECT_EQ(server_->Messages()[*mask].header.param0, 0xFFFF);

  // The picture settings go out as code 14.
  Click(kIdSettings);
  auto* defaults = static_cast<QAbstractButton*>(window_->Settings()->Item(kIdDefaultParams));
  ASSERT_TRUE(WaitUntil([&] { return defaults->isEnabled(); }, 5000));
  defaults->click();
  EXPECT_TRUE(Logged([](const LoggedMessage& m) {
    return m.header.code == 14 && m.header.channel == 0 && m.header.param0 == 64 &&
           m.header.param1 == 68 && m.header.param2 == 128 && m.header.param3 == 0;
  }));
}

// Seconds since the epoch of the local time a file name carries after
// `prefix`: YYYY_MM_DD_HH_MM_SS_mmm.
time_t NamedTime(const std::string& name, const std::string& prefix) {
  std::tm tm{};
  int ms = 0;
  if (name.rfind(prefix, 0) != 0 ||
      std::sscanf(name.c_str() + prefix.size(), "%4d_%2d_%2d_%2d_%2d_%2d_%3d", &tm.tm_year,
                  &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7) {
    return -1;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST_F(Session, SavedFoldersAndTheLocalClockNameTheNextFiles) {
  // Away from UTC, so that a name in universal time would show.
  const char* zone = std::getenv("TZ");
  const std::string oldZone = zone ? zone : "";
  setenv("TZ", "CST-8", 1);
  tzset();

  const fs::path rec = Home() / "新录像";
  const fs::path cap = Home() / "新抓图";
  fs::create_directories(rec);
  fs::create_directories(cap);
  const size_t defaultAvis = FilesIn(Home() / "Holmvard" / "Movie", ".avi").size();
  const size_t defaultBmps = FilesIn(Home() / "Holmvard" / "Bitmap", ".bmp").size();
  Click(kIdSettings);
  SettingsDialog* settings = window_->Settings();
  static_cast<QLineEdit*>(settings->Item(kIdRecordDirEdit))
      ->setText(QString::fromStdString(rec.string()));
  static_cast<QLineEdit*>(settings->Item(kIdCapDirEdit))
      ->setText(QString::fromStdString(cap.string()));
  static_cast<QAbstractButton*>(settings->Item(1))->click();
  ASSERT_FALSE(settings->isVisible());

  const time_t before = std::time(nullptr);
  EnlargeChannel6();
  Click(kIdRecord);
  Click(kIdCapture);
  EXPECT_TRUE(WaitUntil([&] { return FilesIn(cap, ".bmp").size() == 1; }, 5000));
  Pump(300);
  Click(kIdRecord);
  const time_t after = std::time(nullptr);

  const auto avis = FilesIn(rec, ".avi");
  const auto bmps = FilesIn(cap, ".bmp");
  ASSERT_EQ(avis.size(), 1u);
  ASSERT_EQ(bmps.size(), 1u);
  EXPECT_EQ(FilesIn(Home() / "Holmvard" / "Movie", ".avi").size(), defaultAvis);
  EXPECT_EQ(FilesIn(Home() / "Holmvard" / "Bitmap", ".bmp").size(), defaultBmps);
  const time_t recorded = NamedTime(avis[0].filename().string(), "CLIENT_CH06_");
  const time_t captured = NamedTime(bmps[0].filename().string(), "CH06_");
  EXPECT_GE(recorded, before - 1) << avis[0];
  EXPECT_LE(recorded, after + 1) << avis[0];
  EXPECT_GE(captured, before - 1) << bmps[0];
  EXPECT_LE(captured, after + 1) << bmps[0];

  if (zone) {
    setenv("TZ", oldZone.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(Session, ServerNoticeShowsAWarning) {
  ASSERT_TRUE(server_->Command("notice 录像机将在五分钟后重启"));
  ASSERT_TRUE(WaitUntil([&] { return !boxes_.empty(); }, kWaitMs));
  // The caption names the recorder that sent it.
  EXPECT_EQ(boxes_[0].first,
            QString::fromUtf8("Zarvion 信息 — 127.0.0.1:%1").arg(server_->Port()));
  EXPECT_EQ(boxes_[0].second, QString::fromUtf8("录像机将在五分钟后重启"));
}

// A recorder with fewer channels than the 4 x 4 grid has panes gets the view
// that fits them at its first session, unless a layout was chosen.
TEST(FittedView, ARecorderWithFewChannelsGetsAViewThatFitsThem) {
  struct Case {
    int channels;
    bool layoutChosen;
    uint32_t view;
  };
  for (const Case c : {Case{9, false, kDrawGrid9}, Case{4, false, kDrawGrid4}, Case{1, false, 0u},
                       Case{12, false, kDrawGrid16}, Case{4, true, kDrawGrid16}}) {
    SCOPED_TRACE(std::to_string(c.channels) + (c.layoutChosen ? " chosen" : ""));
    ASSERT_TRUE(RegDeleteKey(Hive::kCurrentUser, kSettingsKey));
    if (c.layoutChosen) {
      SettingsStore::SaveSettings(kDrawGrid16, testing::TestHome(), testing::TestHome());
    }
    dvrsim::Options options;
    options.channels = c.channels;
    options.fps = 10;
    options.gop = 10;
    dvrsim::Server server(options);
    ASSERT_TRUE(server.Start()) << server.Error();
    Zarvinet control;
    std::unique_ptr<ControlWindow> window = CreateControlWindow(control, nullptr, {});
    window->resize(644, 506);
    window->show();
    const std::u16string port = Ascii16(std::to_string(server.Port()));
    control.ConnectServer(Text(u"127.0.0.1"), Text(port), Text(u"user"));
    // Every channel has sent pictures: the view is whatever it stays.
    ASSERT_TRUE(WaitUntil(
        [&] {
          for (int k = 0; k < c.channels; ++k) {
            if (control.Status().channelFrames[static_cast<size_t>(k)] < 2) return false;
          }
          return true;
        },
        kWaitMs));
    EXPECT_EQ(control.Object().dwDrawMode.load(), c.view);
    if (c.view == 0) {
      // One channel alone, with its buttons; a double-click leaves for a grid.
      EXPECT_TRUE(WaitUntil([&] { return window->Control(kIdRecord)->isEnabled(); }, kWaitMs));
      EXPECT_TRUE(window->Control(kIdCapture)->isEnabled());
      EXPECT_EQ(control.Object().dwSavedDrawMode.load(), kDrawGrid4);
    }
  }
  ASSERT_TRUE(RegDeleteKey(Hive::kCurrentUser, kSettingsKey));
}

TEST_F(Session, AWindowMadeAgainGetsANewSession) {
  window_.reset();
  ASSERT_TRUE(WaitUntil([&] { return server_->ConnectedClients() == 0; }, kWaitMs));
  EXPECT_EQ(control_.Object().bConnected.load(), 0u);
  Open();
  EXPECT_FALSE(control_.Object().hStopEvent->IsSet());
  Connect();
  EXPECT_TRUE(
      Logged([](const LoggedMessage& m) { return m.client == 2 && m.header.code == kLogin; }));
  ASSERT_TRUE(WaitUntil([&] { return window_->Decoder(0)->bSignal.load() == 1; }, kWaitMs));
}

}  // namespace
}  // namespace zarvion
