// The catalogue of what the viewer wrote into its folders: every recording
// (manual, on motion, each part of a split one) and every snapshot, with
// where and when it lies, kept in an SQLite database of its own
// (recordings.sqlite in the viewer's data folder). It is an index of the
// folders, never the only copy of anything: a damaged or lost catalogue is
// rebuilt from the files.
//
// A recording is entered when it starts and completed when it ends. At
// start-up the folders are reconciled with it in the background: files
// copied in or left by a crash are read (and repaired), files that are gone
// are dropped. Reads are indexed by time and need no scan of the folders.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>

namespace zarvion::viewer {

// Stored as its number.
enum class CatalogueKind : int {
  kManual = 1,    // CLIENT_..., the record button
  kEvent = 2,     // EVENT_..., recorded on motion
  kSnapshot = 3,  // a picture saved by the snapshot button
  kOther = 4,     // a recording of another name found in a folder
};

struct CatalogueEntry {
  int64_t id = 0;
  QString path;  // absolute
  CatalogueKind kind = CatalogueKind::kManual;
  int channel = 0;       // 0-based
  int64_t startMs = 0;   // wall clock, ms since the epoch (UTC): the first frame
  int64_t endMs = 0;     // after the last frame; a snapshot's is its start
  int64_t frames = 0;    // as far as known
  int64_t keyFrames = 0;
  int64_t bytes = 0;
  int rateNum = 0;  // frames per second as rateNum / rateDen; 0 when unknown
  int rateDen = 1;
  // The recorder's address, as events name it; empty for a file found by a
  // scan of a folder (names say the channel, not the recorder).
  QString recorder;
  // False while being written, and for a file left by a crash until repaired.
  bool complete = false;
};

class RecordingCatalogue : public QObject {
  Q_OBJECT

 public:
  // Opens (or creates) the database; empty: DefaultPath().
  explicit RecordingCatalogue(QString path = {}, QObject* parent = nullptr);
  ~RecordingCatalogue() override;
  RecordingCatalogue(const RecordingCatalogue&) = delete;
  RecordingCatalogue& operator=(const RecordingCatalogue&) = delete;

  static QString DefaultPath();
  QString Path() const;

  // A recording began to be written into `file`.
  void Started(const QString& file, CatalogueKind kind, const QString& recorder, int channel,
               int64_t startMs);
  // It was closed: its frames, key frames, bytes, rate and end are read
  // from the file.
  void Finished(const QString& file);
  void SnapshotSaved(const QString& file, const QString& recorder, int channel, int64_t timeMs);

  // Brings the catalogue in line with the files of `folders`, in the
  // background: ReconcileProgress as it goes, Reconciled at the end.
  void Reconcile(const QStringList& folders);
  bool Reconciling() const;

  // Entries that overlap [fromMs, toMs), by start time. A recording still
  // being written ends now.
  std::vector<CatalogueEntry> Entries(int64_t fromMs, int64_t toMs) const;

  // Waits until everything asked so far is in the database (a closed file
  // its writer still holds is waited for, a few seconds at most).
  void Flush();
  // False when neither the file nor a fresh one beside it could be opened:
  // the catalogue then keeps nothing.
  bool IsOpen() const;

  // The start time a recording's or snapshot's name carries (local time,
  // to the millisecond), as ms since the epoch; 0 for another name.
  static int64_t StartOfName(const QString& file);

 signals:
  // Entries were added, completed or removed.
  void Changed();
  void ReconcileProgress(int done, int total);
  void Reconciled();

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace zarvion::viewer
