// Motion against the simulator: its still pictures with their running frame
// counters give no event; an object crossing camera 3 begins one on that
// camera alone, marked on its pane; the camera's detection switched off ends
// it, unmarked, in one row with its peak and the picture at the peak.
#include <algorithm>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <QImage>
#include <QLabel>
#include <QTest>

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
