// The recordings' catalogue against real files: a recording entered as it
// starts and completed from its closed file, kept across a reopen,
// reconciled with its folder (files copied in, left by a crash, gone), and
// a damaged database set aside and rebuilt from the folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "avi_test_util.h"
#include "export/recording_files.h"
#include "platform/avi_file.h"
#include "viewer/recording_catalogue.h"

namespace zarvion::viewer {
namespace {

// A recording as the viewer writes it: `count` frames of `size` bytes, a
// key frame every `gop`, its rate in the header with the given origin.
void WriteRecording(const QString& path, int count, int gop, FrameRate rate,
                    AviRateOrigin origin = AviRateOrigin::kMeasured, uint32_t size = 700) {
  auto avi = AviFile::Open(QFile::encodeName(path).toStdString(), kOfCreate | kOfWrite);
  ASSERT_NE(avi, nullptr) << path.toStdString();
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwRate = rate.rate;
  info.dwScale = rate.scale;
  info.rcFrame = AviRect{0, 0, 352, 288};
  AviStream* stream = avi->CreateStream(info, origin);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(stream->SetFormat(0, MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 352 * 288 * 3),
                                sizeof(BitmapInfoHeader)));
  std::vector<uint8_t> bytes(size, 0x5a);
  for (int i = 0; i < count; ++i) {
    // A frame's first two bits say intra (00) or not, as a repair reads them.
    const bool key = i % gop == 0;
    bytes[0] = key ? 0x1a : 0x5a;
    ASSERT_TRUE(stream->Write(i, 1, bytes.data(), size, key ? kAviIfKeyFrame : 0));
  }
}

class CatalogueTest : public ::testing::Test {
 protected:
  QString Db() const { return dir_.filePath(QStringLiteral("recordings.sqlite")); }
  QString Folder() const { return dir_.filePath(QStringLiteral("rec")); }
  QString In(const char* name) const { return Folder() + QLatin1Char('/') + QLatin1String(name); }
  void SetUp() override { ASSERT_TRUE(QDir().mkpath(Folder())); }

  // Reconciles and waits for the end; the number of files that were read.
  static int ReconcileAndWait(RecordingCatalogue& catalogue, const QStringList& folders) {
    std::atomic<int> total{-1};
    auto c = QObject::connect(&catalogue, &RecordingCatalogue::ReconcileProgress,
                              [&total](int, int t) { total = t; });
    catalogue.Reconcile(folders);
    for (int i = 0; i < 3000 && catalogue.Reconciling(); ++i) usleep(10000);
    EXPECT_FALSE(catalogue.Reconciling());
    QObject::disconnect(c);
    catalogue.Flush();
    return total;
  }

  static std::vector<CatalogueEntry> All(const RecordingCatalogue& catalogue) {
    return catalogue.Entries(0, int64_t{1} << 50);
  }

  QTemporaryDir dir_;
};

TEST_F(CatalogueTest, RecordingIsEnteredAtItsStartAndCompletedFromItsClosedFile) {
  const QString file = In("CLIENT_CH03_2026_03_01_10_00_00_000.avi");
  const int64_t start = RecordingCatalogue::StartOfName(file);
  ASSERT_GT(start, 0);
  RecordingCatalogue catalogue(Db());
  catalogue.Started(file, CatalogueKind::kManual, QStringLiteral("10.0.0.7:5000"), 2, start);
  catalogue.Flush();
  // While written it runs to now, and so shows in any range up to now.
  std::vector<CatalogueEntry> got = catalogue.Entries(start + 3600000, start + 7200000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(got[0].complete);

  WriteRecording(file, 50, 10, {25, 1});
  catalogue.Finished(file);
  catalogue.SnapshotSaved(In("CH03_2026_03_01_10_00_01_000.bmp"), QStringLiteral("10.0.0.7:5000"),
                          2, start + 1000);
  catalogue.Flush();
  got = catalogue.Entries(start - 60000, start + 60000);
  ASSERT_EQ(got.size(), 2u);
  const CatalogueEntry& r = got[0];
  EXPECT_EQ(r.path, file);
  EXPECT_EQ(r.kind, CatalogueKind::kManual);
  EXPECT_EQ(r.recorder, QStringLiteral("10.0.0.7:5000"));
  EXPECT_EQ(r.channel, 2);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.frames, 50);
  EXPECT_EQ(r.keyFrames, 5);
  EXPECT_EQ(r.rateNum, 25);
  EXPECT_EQ(r.rateDen, 1);
  EXPECT_EQ(r.endMs - r.startMs, 2000);
  EXPECT_EQ(r.bytes, QFileInfo(file).size());
  EXPECT_EQ(got[1].kind, CatalogueKind::kSnapshot);
  EXPECT_EQ(got[1].startMs, start + 1000);

  // Ranges: one that ends at the start or begins at the end holds nothing;
  // one inside the recording holds it; the snapshot lies at its instant.
  EXPECT_TRUE(catalogue.Entries(start - 1000, start).empty());
  EXPECT_TRUE(catalogue.Entries(start + 2000, start + 3000).size() == 0u);
  EXPECT_EQ(catalogue.Entries(start + 1500, start + 1600).size(), 1u);
  EXPECT_EQ(catalogue.Entries(start + 1000, start + 1001).size(), 2u);
}

TEST_F(CatalogueTest, ReopenKeepsEntriesAndReconcileFollowsTheFolder) {
  const QString kept = In("CLIENT_CH01_2026_03_01_10_00_00_000.avi");
  const QString older = In("CLIENT_CH02_2026_03_01_11_00_00_000.avi");
  const QString crashed = In("EVENT_CH04_2026_03_01_12_00_00_000.avi");
  const QString gone = In("EVENT_CH01_2026_03_01_09_00_00_000.avi");
  const QString snapshot = In("CH02_2026_03_01_11_00_05_250.bmp");
  WriteRecording(kept, 30, 10, {30000, 1001});
  WriteRecording(gone, 10, 10, {25, 1});
  {
    RecordingCatalogue catalogue(Db());
    EXPECT_EQ(ReconcileAndWait(catalogue, {Folder()}), 2);
    catalogue.Started(kept, CatalogueKind::kManual, QStringLiteral("dvr"), 0,
                      RecordingCatalogue::StartOfName(kept));
    catalogue.Finished(kept);
  }
  // Copied in, left by a crash, a snapshot, something else; one file gone.
  WriteRecording(older, 40, 20, {10, 1}, AviRateOrigin::kAssumed);
  WriteRecording(crashed, 25, 5, {25, 1});
  zarvion::testing::CutOffIndex(crashed.toStdString());
  std::ofstream(QFile::encodeName(snapshot).toStdString()) << "BM";
  std::ofstream(QFile::encodeName(In("notes.txt")).toStdString()) << "x";
  ASSERT_TRUE(QFile::remove(gone));

  RecordingCatalogue catalogue(Db());
  std::vector<CatalogueEntry> got = All(catalogue);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].path, kept);
  EXPECT_EQ(got[1].recorder, QStringLiteral("dvr"));
  EXPECT_EQ(got[1].rateNum, 30000);

  EXPECT_EQ(ReconcileAndWait(catalogue, {Folder()}), 3);
  got = All(catalogue);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].path, kept);
  EXPECT_EQ(got[0].recorder, QStringLiteral("dvr")) << "a scan keeps what the tab told";
  EXPECT_EQ(got[1].path, older);
  EXPECT_EQ(got[1].rateNum, 0) << "an older file's 10 fps is no rate";
  EXPECT_EQ(got[1].frames, 40);
  EXPECT_EQ(got[1].keyFrames, 2);
  EXPECT_EQ(got[1].channel, 1);
  EXPECT_EQ(got[2].path, snapshot);
  EXPECT_EQ(got[2].kind, CatalogueKind::kSnapshot);
  EXPECT_EQ(got[3].path, crashed);
  EXPECT_EQ(got[3].kind, CatalogueKind::kEvent);
  EXPECT_TRUE(got[3].complete) << "repaired before it was entered";
  EXPECT_EQ(got[3].frames, 25);
  EXPECT_EQ(got[3].keyFrames, 5);
  EXPECT_EQ(got[3].endMs - got[3].startMs, 1000);

  // Nothing changed: nothing is read again.
  EXPECT_EQ(ReconcileAndWait(catalogue, {Folder()}), 0);
  EXPECT_EQ(All(catalogue).size(), 4u);
}

TEST_F(CatalogueTest, DamagedDatabaseIsSetAsideAndRebuiltFromTheFolder) {
  WriteRecording(In("CLIENT_CH01_2026_03_01_10_00_00_000.avi"), 20, 10, {25, 1});
  {
    std::ofstream db(QFile::encodeName(Db()).toStdString(), std::ios::binary);
    db << std::string(8192, '\x17');
  }
  RecordingCatalogue catalogue(Db());
  ASSERT_TRUE(catalogue.IsOpen());
  EXPECT_EQ(catalogue.Path(), Db());
  const QStringList aside =
      QDir(dir_.path()).entryList({QStringLiteral("recordings.sqlite.damaged-*")});
  EXPECT_EQ(aside.size(), 1);
  EXPECT_TRUE(All(catalogue).empty());
  EXPECT_EQ(ReconcileAndWait(catalogue, {Folder()}), 1);
  ASSERT_EQ(All(catalogue).size(), 1u);
  EXPECT_EQ(All(catalogue)[0].frames, 20);
}

}  // namespace
}  // namespace zarvion::viewer
