// The recordings read back frame by frame, of the simulator's stamped
// pictures: across a split and a gap every frame once in order (forwards
// and backwards), and a seek to a time gives the frame of that time.
#include <gtest/gtest.h>

#include "export/recording_reader.h"
#include "mp43_test_frames.h"
#include "stamped_recordings.h"

namespace zarvion {
namespace {

using recordings::ReadFrame;
using recordings::RecordingReader;

class RecordingReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A recording split after 2 s, then after a gap an event recording.
    const std::string d = dir_.Path() + "/";
    files_ = {d + "CLIENT_CH01_2026_03_01_10_00_00_000.avi",
              d + "CLIENT_CH01_2026_03_01_10_00_02_000.avi",
              d + "EVENT_CH01_2026_03_01_10_00_10_000.avi"};
    testing::WriteStampedRecording(files_[0], 0, 0, 50);
    testing::WriteStampedRecording(files_[1], 0, 50, 50);
    testing::WriteStampedRecording(files_[2], 0, 200, 25);
    std::vector<recordings::Recording> plan;
    std::string error;
    ASSERT_TRUE(recordings::PlanRecordings({files_[2], files_[0], files_[1]}, &plan, &error))
        << error;
    reader_ = std::make_unique<RecordingReader>(std::move(plan));
    start_ = *recordings::ParseWallClock("2026-03-01 10:00:00");
  }
  static int Stamp(const ReadFrame& f) {
    return testing::StampedFrame(f.pixels.data(), f.width, f.height, f.width * 4).value_or(-1);
  }

  testing::TempDir dir_;
  std::vector<std::string> files_;
  std::unique_ptr<RecordingReader> reader_;
  recordings::WallMs start_ = 0;
};

TEST_F(RecordingReaderTest, StepsOverASplitAndAGapShowingEveryFrameOnceInOrder) {
  std::vector<int> expected;
  for (int i = 0; i < 100; ++i) expected.push_back(i);
  for (int i = 200; i < 225; ++i) expected.push_back(i);

  ReadFrame f;
  std::string error;
  ASSERT_TRUE(reader_->Seek(reader_->Begin(), &f, &error)) << error;
  std::vector<int> forward{Stamp(f)};
  std::vector<recordings::WallMs> times{f.time};
  while (reader_->Next(&f, &error)) {
    forward.push_back(Stamp(f));
    times.push_back(f.time);
  }
  EXPECT_TRUE(error.empty()) << error;
  EXPECT_EQ(forward, expected);
  ASSERT_EQ(times.size(), expected.size());
  EXPECT_EQ(times[50], start_ + 2000) << "the second part starts when its name says";
  EXPECT_EQ(times[100], start_ + 10000) << "after the gap, the event recording's first frame";
  EXPECT_EQ(reader_->End(), start_ + 11000);

  // Back from the last frame, each one decoded from its key frame before.
  std::vector<int> backward{Stamp(f)};
  while (reader_->Previous(&f, &error)) backward.push_back(Stamp(f));
  EXPECT_TRUE(error.empty()) << error;
  EXPECT_EQ(backward, std::vector<int>(expected.rbegin(), expected.rend()));
}

TEST_F(RecordingReaderTest, SeekGivesTheFrameOfThatTimeWhereverTheReaderWas) {
  struct Case {
    recordings::WallMs at;
    int frame;
    size_t file;
  };
  // 25 frames a second: a frame every 40 ms. In any order, forwards and
  // back, into a key frame's group and across files.
  const Case cases[] = {
      {start_ + 1000, 25, 0},   {start_ + 1039, 25, 0},    {start_ + 480, 12, 0},
      {start_ + 3500, 87, 1},   {start_ + 2000, 50, 1},    {start_ + 1999, 49, 0},
      {start_ + 5000, 200, 2},  {start_ - 60000, 0, 0},    {start_ + 10999, 224, 2},
      {start_ + 99000, 224, 2}, {start_ + 10520, 213, 2},  {start_ + 3960, 99, 1},
  };
  for (const Case& c : cases) {
    ReadFrame f;
    std::string error;
    ASSERT_TRUE(reader_->Seek(c.at, &f, &error)) << error;
    EXPECT_EQ(Stamp(f), c.frame) << "at +" << c.at - start_ << " ms";
    EXPECT_EQ(reader_->Recordings()[f.recording].path, files_[c.file]);
    // Then on from there without a seek.
    if (c.frame != 224) {
      ASSERT_TRUE(reader_->Next(&f, &error)) << error;
      EXPECT_EQ(Stamp(f), c.frame == 99 ? 200 : c.frame + 1);
    }
  }
}

TEST(RecordingReaderStartTest, ARecordingBegunBetweenKeyFramesShowsFromItsFirstKeyFrame) {
  // Frames 10..69 of a stream that began at frame -5 with a key frame every
  // 25: the first that decodes is frame 20, the file's 11th.
  testing::TempDir dir;
  const std::string file = dir.Path() + "/CLIENT_CH02_2026_03_01_11_00_00_000.avi";
  testing::WriteStampedRecording(file, 1, 10, 60, 25, 25, 15);
  std::vector<recordings::Recording> plan;
  std::string error;
  ASSERT_TRUE(recordings::PlanRecordings({file}, &plan, &error)) << error;
  const recordings::WallMs start = plan[0].name.start;
  RecordingReader reader(std::move(plan));
  auto stamp = [](const ReadFrame& f) {
    return testing::StampedFrame(f.pixels.data(), f.width, f.height, f.width * 4).value_or(-1);
  };
  ReadFrame f;
  for (recordings::WallMs at : {start, start + 200, start + 399}) {
    ASSERT_TRUE(reader.Seek(at, &f, &error)) << error;
    EXPECT_EQ(stamp(f), 20);
    EXPECT_EQ(f.time, start + 400);
  }
  EXPECT_FALSE(reader.Previous(&f, &error)) << "nothing decodable before it";
  EXPECT_TRUE(error.empty()) << error;
  ASSERT_TRUE(reader.Next(&f, &error)) << error;
  EXPECT_EQ(stamp(f), 21);
  ASSERT_TRUE(reader.Seek(start + 2399, &f, &error)) << error;
  EXPECT_EQ(stamp(f), 69);
}

}  // namespace
}  // namespace zarvion
