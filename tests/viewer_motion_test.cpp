// Motion against the simulator: its still pictures with their running frame
// counters give no event; an object crossing camera 3 begins one on that
// camera alone, marked on its pane; the camera's detection switched off ends
// it, unmarked, in one row with its peak and the picture at the peak.
// Frames that stop end an event: a camera lost after the gap, a recorder
// lost at once.
#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QTest>

#include "settings/settings_store.h"
#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

class MotionTab : public ViewerTest {
 protected:
  void SetUp() override {
    ViewerTest::SetUp();
    QObject::connect(&tab_, &RecorderTab::EventOccurred,
                     [this](const Event& e) { events_.push_back(e); });
    QObject::connect(&tab_, &RecorderTab::MotionChanged,
                     [this](int channel, bool active) { changes_.emplace_back(channel, active); });
  }
  bool MarkShown(int channel) const {
    return tab_.MotionMark(channel) && tab_.MotionMark(channel)->isVisible();
  }
  bool Saw(int channel, bool active) const {
    return std::find(changes_.begin(), changes_.end(), std::make_pair(channel, active)) !=
           changes_.end();
  }
  std::vector<Event> Of(EventKind kind, int channel) const {
    std::vector<Event> found;
    for (const Event& e : events_) {
      if (e.kind == kind && e.channel == channel) found.push_back(e);
    }
    return found;
  }

  std::unique_ptr<dvrsim::Server> server_ = StartRecorder();
  RecorderTab tab_;
  std::vector<Event> events_;
  std::vector<std::pair<int, bool>> changes_;
};

TEST_F(MotionTab, AnEventIsMarkedAndEndsInARowWithItsPicture) {
  tab_.resize(800, 640);
  tab_.show();
  tab_.Connect(At(*server_));
  ASSERT_TRUE(
      WaitUntil([&] { return tab_.CurrentState() == RecorderTab::State::kLive; }, 8000 * kSlow));
  QTest::qWait(5000);
  EXPECT_TRUE(changes_.empty()) << "motion on camera " << changes_.front().first + 1;
  changes_.clear();
  ASSERT_TRUE(server_->Command("motion 3 3"));
  ASSERT_TRUE(WaitUntil([&] { return !changes_.empty(); }, 3000 * kSlow));
  const int channel = changes_.front().first;
  EXPECT_EQ(channel, 2);
  EXPECT_TRUE(changes_.front().second);
  EXPECT_TRUE(WaitUntil([&] { return MarkShown(channel); }, 2000 * kSlow));

  tab_.SetMotionEnabled(channel, false);
  const std::pair<int, bool> ended{channel, false};
  ASSERT_TRUE(WaitUntil(
      [&] { return std::find(changes_.begin(), changes_.end(), ended) != changes_.end(); },
      3000 * kSlow));
  EXPECT_FALSE(MarkShown(channel));
  EXPECT_FALSE(tab_.MotionEnabled(channel));
  std::vector<Event> rows;
  for (const Event& e : events_) {
    if (e.kind == EventKind::kMotion && e.channel == channel) rows.push_back(e);
  }
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_GT(rows[0].peakPermille, 0);
  EXPECT_GE(rows[0].endMs, rows[0].timeMs);
  EXPECT_TRUE(rows[0].detail.endsWith(QLatin1Char('%')));
  QImage picture;
  ASSERT_TRUE(picture.loadFromData(rows[0].thumbnail, "PNG"));
  EXPECT_EQ(picture.size(), QSize(kMotionThumbWidth, kMotionThumbHeight));
}

}  // namespace
}  // namespace zarvion::viewer

namespace zarvion::viewer {
namespace {

using namespace test;

TEST_F(MotionTab, FramesThatStopEndTheEventAndItsRecording) {
  namespace fs = std::filesystem;
  const fs::path movies = fs::path(zarvion::testing::TestHome()) / "motion-stopped";
  fs::remove_all(movies);
  fs::create_directories(movies);
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, movies.string()));
  RecorderTab::EventRecordingTimes times;
  times.postRoll = std::chrono::milliseconds(1000);
  tab_.SetEventRecordingTimes(times);
  tab_.resize(800, 640);
  tab_.show();
  tab_.Connect(At(*server_));
  ASSERT_TRUE(
      WaitUntil([&] { return tab_.CurrentState() == RecorderTab::State::kLive; }, 8000 * kSlow));
  QTest::qWait(3000);
  constexpr int kCamera = 2;

  // Camera 3 is lost in the middle of an object's crossing: its event ends
  // once the gap has passed since the last motion frame, as with frames.
  ASSERT_TRUE(server_->Command("motion 3 8"));
  ASSERT_TRUE(WaitUntil([&] { return Saw(kCamera, true); }, 3000 * kSlow));
  ASSERT_TRUE(WaitUntil([&] { return !tab_.EventRecordingPath(kCamera).isEmpty(); }, 1000));
  const QString file = tab_.EventRecordingPath(kCamera);
  QTest::qWait(500);
  ASSERT_TRUE(server_->Command("pause 3"));
  QElapsedTimer paused;
  paused.start();
  ASSERT_TRUE(WaitUntil([&] { return Saw(kCamera, false); }, 20000 * kSlow));
  EXPECT_LE(paused.elapsed(), (10000 + 1000) * kSlow) << "the gap is 10 s";
  EXPECT_FALSE(MarkShown(kCamera));
  ASSERT_EQ(Of(EventKind::kMotion, kCamera).size(), 1u);
  EXPECT_GT(Of(EventKind::kMotion, kCamera)[0].peakPermille, 0);
  // Its recording closes after the post-roll.
  ASSERT_TRUE(
      WaitUntil([&] { return !Of(EventKind::kRecordingStopped, kCamera).empty(); }, 3000 * kSlow));
  EXPECT_EQ(Of(EventKind::kRecordingStopped, kCamera)[0].detail, file);
  EXPECT_TRUE(tab_.EventRecordingPath(kCamera).isEmpty());
  EXPECT_GT(fs::file_size(file.toStdString()), 0u);

  // Back, and motion again; then the recorder goes: the event ends at once,
  // its row with the peak and the picture the lost control saw.
  ASSERT_TRUE(server_->Command("resume 3"));
  QTest::qWait(3000);
  changes_.clear();
  ASSERT_TRUE(server_->Command("motion 3 8"));
  ASSERT_TRUE(WaitUntil([&] { return Saw(kCamera, true); }, 3000 * kSlow));
  server_.reset();
  ASSERT_TRUE(WaitUntil([&] { return Saw(kCamera, false); }, 2000 * kSlow));
  EXPECT_FALSE(MarkShown(kCamera));
  const std::vector<Event> rows = Of(EventKind::kMotion, kCamera);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_GT(rows[1].peakPermille, 0);
  EXPECT_FALSE(rows[1].thumbnail.isEmpty());
  EXPECT_TRUE(tab_.EventRecordingPath(kCamera).isEmpty());
  EXPECT_EQ(Of(EventKind::kRecordingStopped, kCamera).size(), 2u);
}

}  // namespace
}  // namespace zarvion::viewer
