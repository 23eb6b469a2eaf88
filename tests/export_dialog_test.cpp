// The export dialog as the operator uses it, offscreen, on real recordings:
// an MP4 of a range read back by ffprobe, with the range's snapshots beside
// it and an event naming it; a cancel half-way leaves no file.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "export/recording_files.h"
#include "mp43_test_frames.h"
#include "platform/avi_file.h"
#include "viewer/export_dialog.h"

namespace zarvion::viewer {
namespace {

using testing::EncodedFrame;

// A manual recording of `count` frames at 25 a second, looping over `frames`.
CatalogueEntry WriteRecording(const QString& path, const std::vector<EncodedFrame>& frames,
                              size_t count) {
  CatalogueEntry e;
  auto avi = AviFile::Open(QFile::encodeName(path).toStdString(), kOfCreate | kOfWrite);
  EXPECT_NE(avi, nullptr);
  if (!avi) return e;
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwRate = 25;
  info.dwScale = 1;
  info.rcFrame = AviRect{0, 0, 352, 288};
  AviStream* stream = avi->CreateStream(info, AviRateOrigin::kMeasured);
  EXPECT_TRUE(stream &&
              stream->SetFormat(0, MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 352 * 288 * 3),
                                sizeof(BitmapInfoHeader)));
  for (size_t i = 0; i < count; ++i) {
    const EncodedFrame& f = frames[i % frames.size()];
    EXPECT_TRUE(stream->Write(static_cast<int32_t>(i), 1, f.bytes.data(),
                              static_cast<uint32_t>(f.bytes.size()), f.Flags()));
  }
  e.path = path;
  e.kind = CatalogueKind::kManual;
  e.channel = recordings::ParseRecordingName(path.toStdString())->channel - 1;
  e.startMs = RecordingCatalogue::StartOfName(path);
  e.endMs = e.startMs + static_cast<int64_t>(count) * 40;
  e.frames = static_cast<int64_t>(count);
  e.rateNum = 25;
  e.recorder = QStringLiteral("10.0.0.9:5000");
  e.complete = true;
  return e;
}

CatalogueEntry Snapshot(const QString& path) {
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("BM");
  CatalogueEntry e;
  e.path = path;
  e.kind = CatalogueKind::kSnapshot;
  e.startMs = RecordingCatalogue::StartOfName(path);
  e.endMs = e.startMs;
  e.complete = true;
  return e;
}

class ExportDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    frames_ = new std::vector<EncodedFrame>(testing::EncodeTestFrames(50, 10));
  }
  static void TearDownTestSuite() { delete frames_; }

  QString In(const char* name) const { return dir_.filePath(QString::fromUtf8(name)); }
  QStringList Files(const QString& folder) const {
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  }

  static std::vector<EncodedFrame>* frames_;
  QTemporaryDir dir_;
};
std::vector<EncodedFrame>* ExportDialogTest::frames_ = nullptr;

TEST_F(ExportDialogTest, ExportsTheRangeAsAnMp4WithItsSnapshotsAndTellsWhere) {
  const CatalogueEntry first =
      WriteRecording(In("CLIENT_CH03_2026_03_01_10_00_00_000.avi"), *frames_, 50);
  const CatalogueEntry second =
      WriteRecording(In("CLIENT_CH03_2026_03_01_10_00_02_000.avi"), *frames_, 50);
  const CatalogueEntry inside = Snapshot(In("CH03_2026_03_01_10_00_01_500.bmp"));
  const CatalogueEntry outside = Snapshot(In("CH03_2026_03_01_10_00_09_000.bmp"));
  // One second in each file.
  const int64_t from = first.startMs + 1000;
  const int64_t to = first.startMs + 3000;

  QWidget parent;
  ExportDialog dialog(&parent, {second, first}, from, to, {inside, outside});
  EXPECT_EQ(dialog.windowModality(), Qt::WindowModal);
  // The default: a name from the camera and the range's start, in an export
  // folder under the user's Videos or home.
  const QString suggested = dialog.Output()->text();
  EXPECT_TRUE(QFileInfo(suggested).fileName().startsWith(QStringLiteral("CH03_20260301_1000")))
      << suggested.toStdString();
  EXPECT_TRUE(suggested.endsWith(QStringLiteral(".mp4")));
  EXPECT_TRUE(dialog.WithSnapshots()->isChecked());

  const QString outFolder = In("out");
  const QString out = outFolder + QStringLiteral("/gate.mp4");
  dialog.Output()->setText(out);
  dialog.BurnTime()->setChecked(true);
  dialog.show();
  QSignalSpy finished(&dialog, &ExportDialog::Finished);
  QSignalSpy events(&dialog, &ExportDialog::EventOccurred);
  QTest::mouseClick(dialog.ExportButton(), Qt::LeftButton);
  EXPECT_TRUE(dialog.Running());
  EXPECT_FALSE(dialog.ExportButton()->isEnabled());
  ASSERT_TRUE(finished.wait(120000));
  EXPECT_TRUE(finished[0][0].toBool()) << finished[0][2].toString().toStdString();
  EXPECT_EQ(finished[0][1].toString(), out);
  EXPECT_EQ(dialog.Progress()->value(), 100);
  EXPECT_TRUE(dialog.OpenFolderButton()->isVisible());

  std::string probe;
  ASSERT_TRUE(
      testing::RunCommand("ffprobe -v error -count_frames -select_streams v -show_entries "
                          "stream=codec_name,r_frame_rate,nb_read_frames -of default=nw=1 '" +
                              out.toStdString() + "'",
                          &probe));
  EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
  EXPECT_NE(probe.find("r_frame_rate=25/1"), std::string::npos) << probe;
  EXPECT_NE(probe.find("nb_read_frames=50"), std::string::npos) << probe;
  // Only the snapshot inside the range goes with it.
  EXPECT_EQ(Files(dialog.SnapshotFolder()), QStringList{QFileInfo(inside.path).fileName()});
  EXPECT_EQ(QFileInfo(dialog.SnapshotFolder()).absolutePath(), outFolder);

  ASSERT_EQ(events.size(), 1);
  const Event e = events[0][0].value<Event>();
  EXPECT_EQ(e.kind, EventKind::kExportDone);
  EXPECT_EQ(e.detail, out);
  EXPECT_EQ(e.recorder, first.recorder);

  // The next export is offered in the folder used last.
  ExportDialog next(&parent, {first}, first.startMs, first.endMs);
  EXPECT_EQ(QFileInfo(next.Output()->text()).absolutePath(), outFolder);
}

TEST_F(ExportDialogTest, CancelHalfWayLeavesNoFile) {
  const CatalogueEntry longer =
      WriteRecording(In("CLIENT_CH01_2026_03_01_12_00_00_000.avi"), *frames_, 3000);
  QWidget parent;
  ExportDialog dialog(&parent, {longer}, longer.startMs, longer.endMs);
  const QString outFolder = In("out");
  dialog.Output()->setText(outFolder + QStringLiteral("/long.mp4"));
  dialog.show();
  QSignalSpy finished(&dialog, &ExportDialog::Finished);
  QSignalSpy events(&dialog, &ExportDialog::EventOccurred);
  QTest::mouseClick(dialog.ExportButton(), Qt::LeftButton);
  // Under way, then "取消".
  for (int i = 0; i < 2000 && dialog.Progress()->value() < 3 && finished.isEmpty(); ++i) {
    QTest::qWait(10);
  }
  ASSERT_TRUE(finished.isEmpty()) << "the export ended before it could be cancelled";
  QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_FALSE(finished[0][0].toBool());
  EXPECT_TRUE(Files(outFolder).isEmpty()) << Files(outFolder).join(' ').toStdString();
  ASSERT_EQ(events.size(), 1);
  EXPECT_EQ(events[0][0].value<Event>().kind, EventKind::kExportFailed);
  EXPECT_FALSE(dialog.Running());
  EXPECT_TRUE(dialog.ExportButton()->isEnabled());
}

}  // namespace
}  // namespace zarvion::viewer
