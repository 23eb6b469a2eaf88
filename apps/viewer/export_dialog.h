// "导出录像": a range of recordings as one file anyone can play (MP4 with
// H.264) or as their original frames cut at key frames (AVI), with the time
// burnt in if asked and the range's snapshots copied beside it. The export
// runs on a thread of its own with a progress bar and "取消"; a cancelled or
// failed export leaves no file. Window-modal over its parent.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <QDialog>
#include <QString>

#include "viewer/event_log.h"
#include "viewer/recording_catalogue.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace zarvion::viewer {

class ExportDialog : public QDialog {
  Q_OBJECT

 public:
  ExportDialog(QWidget* parent, std::vector<CatalogueEntry> recordings, int64_t fromMs,
               int64_t toMs, std::vector<CatalogueEntry> snapshots = {});
  // A running export is stopped (its file removed) and waited for.
  ~ExportDialog() override;

  // Where the export goes when nothing was chosen: the folder used last
  // (else "Zarvion" under the user's Videos, else home), a name from the
  // camera and the range's start.
  QString DefaultOutput() const;
  QLineEdit* Output() const { return output_; }
  QComboBox* Format() const { return format_; }  // 0: MP4, 1: AVI
  QCheckBox* BurnTime() const { return burnTime_; }
  QCheckBox* WithSnapshots() const { return snapshots_; }
  QProgressBar* Progress() const { return progress_; }
  QLabel* Status() const { return status_; }
  QPushButton* ExportButton() const { return export_; }
  QPushButton* CancelButton() const { return cancel_; }
  QPushButton* OpenFolderButton() const { return openFolder_; }
  bool Running() const { return running_; }
  // The folder the range's snapshots were copied into (after a finished
  // export that included them).
  QString SnapshotFolder() const { return snapshotFolder_; }

  // Starts the export, as "导出" does.
  void Start();
  // Stops a running export, as "取消" does while it runs.
  void Stop();

 signals:
  // The export ended: its file written (`ok`) or not (cancelled, failed:
  // `detail` says why), told as an event (kExportDone, kExportFailed).
  void Finished(bool ok, const QString& path, const QString& detail);
  void EventOccurred(const zarvion::viewer::Event& event);

 protected:
  void reject() override;

 private:
  void Ended(bool ok, bool cancelled, const QString& error, qint64 frames);
  QString CopySnapshots(const QString& output);
  void Browse();
  void FormatChanged();

  std::vector<CatalogueEntry> recordings_;
  std::vector<CatalogueEntry> snapshotEntries_;
  int64_t fromMs_;
  int64_t toMs_;
  QLineEdit* output_;
  QComboBox* format_;
  QCheckBox* burnTime_;
  QCheckBox* snapshots_;
  QProgressBar* progress_;
  QLabel* status_;
  QPushButton* export_;
  QPushButton* cancel_;
  QPushButton* openFolder_;
  QString exported_;
  QString snapshotFolder_;
  bool running_ = false;
  std::atomic<bool> stopAsked_{false};
  std::atomic<int> percent_{-1};
  std::thread worker_;
};

}  // namespace zarvion::viewer
