#include "viewer/export_dialog.h"

#include <algorithm>
#include <set>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

#include "export/recording_export.h"
#include "platform/registry.h"
#include "viewer/main_window.h"
#include "viewer/recent_recorders.h"

namespace zarvion::viewer {

namespace {

// The folder the last export went to, and its format (0 MP4, 1 AVI).
constexpr const char* kExportFolderValue = "szExportFolder";
constexpr const char* kExportFormatValue = "dwExportFormat";

QString DefaultFolder() {
  std::string kept;
  if (RegGetString(Hive::kCurrentUser, kViewerKey, kExportFolderValue, &kept) && !kept.empty() &&
      QFileInfo(QString::fromStdString(kept)).isDir()) {
    return QString::fromStdString(kept);
  }
  QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
  if (videos.isEmpty() || !QFileInfo(videos).isDir()) videos = QDir::homePath();
  return videos + QStringLiteral("/Zarvion");
}

}  // namespace

ExportDialog::ExportDialog(QWidget* parent, std::vector<CatalogueEntry> recordings, int64_t fromMs,
                           int64_t toMs, std::vector<CatalogueEntry> snapshots)
    : QDialog(parent),
      recordings_(std::move(recordings)),
      snapshotEntries_(std::move(snapshots)),
      fromMs_(fromMs),
      toMs_(toMs) {
  setWindowTitle(tr("导出录像"));
  setWindowModality(Qt::WindowModal);
  std::sort(recordings_.begin(), recordings_.end(),
            [](const CatalogueEntry& a, const CatalogueEntry& b) { return a.startMs < b.startMs; });
  // Snapshots are pictures, not recordings to join.
  recordings_.erase(
      std::remove_if(recordings_.begin(), recordings_.end(),
                     [](const CatalogueEntry& e) { return e.kind == CatalogueKind::kSnapshot; }),
      recordings_.end());
  snapshotEntries_.erase(std::remove_if(snapshotEntries_.begin(), snapshotEntries_.end(),
                                        [this](const CatalogueEntry& e) {
                                          return e.startMs < fromMs_ || e.startMs >= toMs_;
                                        }),
                         snapshotEntries_.end());

  auto* range = new QLabel(tr("%1 至 %2")
                               .arg(QDateTime::fromMSecsSinceEpoch(fromMs_).toString(
                                        QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                    QDateTime::fromMSecsSinceEpoch(toMs_).toString(
                                        QStringLiteral("yyyy-MM-dd HH:mm:ss"))),
                           this);
  range->setTextFormat(Qt::PlainText);
  output_ = new QLineEdit(this);
  auto* browse = new QPushButton(tr("浏览…"), this);
  auto* file = new QHBoxLayout;
  file->addWidget(output_, 1);
  file->addWidget(browse);
  format_ = new QComboBox(this);
  format_->addItem(tr("MP4 (H.264)"));
  format_->addItem(tr("AVI（原始帧）"));
  uint32_t format = 0;
  if (RegGetDword(Hive::kCurrentUser, kViewerKey, kExportFormatValue, &format) && format == 1) {
    format_->setCurrentIndex(1);
  }
  burnTime_ = new QCheckBox(tr("叠加时间"), this);
  snapshots_ = new QCheckBox(tr("包含抓图"), this);
  snapshots_->setEnabled(!snapshotEntries_.empty());
  snapshots_->setChecked(!snapshotEntries_.empty());
  progress_ = new QProgressBar(this);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  status_ = new QLabel(this);
  status_->setTextFormat(Qt::PlainText);
  status_->setWordWrap(true);

  export_ = new QPushButton(tr("导出"), this);
  export_->setDefault(true);
  cancel_ = new QPushButton(tr("取消"), this);
  openFolder_ = new QPushButton(tr("打开所在文件夹"), this);
  openFolder_->hide();
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(openFolder_);
  buttons->addStretch(1);
  buttons->addWidget(export_);
  buttons->addWidget(cancel_);

  auto* form = new QFormLayout;
  form->addRow(tr("时间："), range);
  form->addRow(tr("文件："), file);
  form->addRow(tr("格式："), format_);
  form->addRow(QString(), burnTime_);
  form->addRow(QString(), snapshots_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(progress_);
  layout->addWidget(status_);
  layout->addLayout(buttons);

  output_->setText(DefaultOutput());
  FormatChanged();
  if (recordings_.empty()) {
    export_->setEnabled(false);
    status_->setText(tr("这段时间没有录像"));
  }
  connect(browse, &QPushButton::clicked, this, &ExportDialog::Browse);
  connect(format_, &QComboBox::currentIndexChanged, this, &ExportDialog::FormatChanged);
  connect(export_, &QPushButton::clicked, this, &ExportDialog::Start);
  connect(cancel_, &QPushButton::clicked, this, [this] {
    if (running_) {
      Stop();
    } else {
      reject();
    }
  });
  connect(openFolder_, &QPushButton::clicked, this, [this] {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(exported_).absolutePath()));
  });
  // The viewer's event list hears of every export.
  for (QObject* p = parent; p; p = p->parent()) {
    if (auto* window = qobject_cast<MainWindow*>(p)) {
      connect(this, &ExportDialog::EventOccurred, window,
              [window](const Event& e) { window->Events().Append(e); });
      break;
    }
  }
  resize(560, sizeHint().height());
}

ExportDialog::~ExportDialog() {
  stopAsked_ = true;
  if (worker_.joinable()) worker_.join();
}

QString ExportDialog::DefaultOutput() const {
  const bool avi = format_->currentIndex() == 1;
  std::set<int> channels;
  for (const CatalogueEntry& e : recordings_) channels.insert(e.channel + 1);
  QString cameras;
  for (int c : channels) {
    if (!cameras.isEmpty()) cameras += QLatin1Char('-');
    cameras += QStringLiteral("CH%1").arg(c, 2, 10, QLatin1Char('0'));
  }
  if (cameras.isEmpty()) cameras = QStringLiteral("CH");
  int64_t start = fromMs_;
  if (!recordings_.empty()) start = std::max(start, recordings_.front().startMs);
  const QString base =
      DefaultFolder() + QLatin1Char('/') + cameras + QLatin1Char('_') +
      QDateTime::fromMSecsSinceEpoch(start).toString(QStringLiteral("yyyyMMdd_HHmmss"));
  const QString suffix = avi ? QStringLiteral(".avi") : QStringLiteral(".mp4");
  QString name = base + suffix;
  for (int n = 2; QFileInfo::exists(name); ++n) name = base + QStringLiteral("_%1").arg(n) + suffix;
  return name;
}

void ExportDialog::Browse() {
  const QString chosen = QFileDialog::getSaveFileName(
      this, tr("导出到"), output_->text(),
      format_->currentIndex() == 1 ? tr("AVI 文件 (*.avi)") : tr("MP4 文件 (*.mp4)"));
  if (!chosen.isEmpty()) output_->setText(chosen);
}

void ExportDialog::FormatChanged() {
  const bool avi = format_->currentIndex() == 1;
  // The time is drawn into decoded pictures; the original frames stay as they are.
  burnTime_->setEnabled(!avi && !running_);
  if (avi) burnTime_->setChecked(false);
  QString out = output_->text();
  const QString want = avi ? QStringLiteral(".avi") : QStringLiteral(".mp4");
  const QString other = avi ? QStringLiteral(".mp4") : QStringLiteral(".avi");
  if (out.endsWith(other, Qt::CaseInsensitive)) {
    out.chop(other.size());
    output_->setText(out + want);
  }
}

void ExportDialog::Start() {
  if (running_ || recordings_.empty()) return;
  QString out = output_->text().trimmed();
  if (out.isEmpty()) {
    status_->setText(tr("请选择导出文件"));
    return;
  }
  out = QFileInfo(out).absoluteFilePath();
  if (!QDir().mkpath(QFileInfo(out).absolutePath())) {
    status_->setText(tr("无法创建文件夹：%1").arg(QFileInfo(out).absolutePath()));
    return;
  }
  exported_ = out;
  snapshotFolder_.clear();
  recordings::ExportOptions options;
  for (const CatalogueEntry& e : recordings_) {
    options.files.push_back(QFile::encodeName(e.path).toStdString());
  }
  options.from = fromMs_;
  options.to = toMs_;
  options.avi = format_->currentIndex() == 1;
  options.burnTime = !options.avi && burnTime_->isChecked();
  options.out = QFile::encodeName(out).toStdString();
  options.cancel = &stopAsked_;
  options.progress = [this](uint64_t done, uint64_t total) {
    const int percent = total ? static_cast<int>(std::min<uint64_t>(done * 100 / total, 100)) : 0;
    if (percent_.exchange(percent) == percent) return;
    QMetaObject::invokeMethod(
        this, [this, percent] { progress_->setValue(percent); }, Qt::QueuedConnection);
  };
  stopAsked_ = false;
  percent_ = -1;
  running_ = true;
  progress_->setValue(0);
  status_->setText(tr("正在导出…"));
  openFolder_->hide();
  for (QWidget* w :
       std::initializer_list<QWidget*>{export_, output_, format_, burnTime_, snapshots_}) {
    w->setEnabled(false);
  }
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, options = std::move(options)] {
    const recordings::ExportResult result = recordings::ExportRecordings(options);
    const bool cancelled = !result.ok && stopAsked_.load();
    const QString error = QString::fromStdString(result.error);
    const qint64 frames = static_cast<qint64>(result.frames);
    QMetaObject::invokeMethod(
        this,
        [this, ok = result.ok, cancelled, error, frames] { Ended(ok, cancelled, error, frames); },
        Qt::QueuedConnection);
  });
}

void ExportDialog::Stop() {
  if (!running_) return;
  stopAsked_ = true;
  status_->setText(tr("正在取消…"));
}

void ExportDialog::reject() {
  if (running_) {
    // Closing stops the export; the dialog goes once it has.
    Stop();
    if (worker_.joinable()) worker_.join();
    running_ = false;
  }
  QDialog::reject();
}

QString ExportDialog::CopySnapshots(const QString& output) {
  const QFileInfo info(output);
  const QString folder =
      info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + tr("_抓图");
  if (!QDir().mkpath(folder)) return QString();
  for (const CatalogueEntry& e : snapshotEntries_) {
    const QString to = folder + QLatin1Char('/') + QFileInfo(e.path).fileName();
    if (!QFileInfo::exists(to)) QFile::copy(e.path, to);
  }
  return folder;
}

void ExportDialog::Ended(bool ok, bool cancelled, const QString& error, qint64 frames) {
  if (worker_.joinable()) worker_.join();
  running_ = false;
  for (QWidget* w : std::initializer_list<QWidget*>{export_, output_, format_, snapshots_}) {
    w->setEnabled(true);
  }
  snapshots_->setEnabled(!snapshotEntries_.empty());
  FormatChanged();
  Event event;
  event.recorder = recordings_.empty() ? QString() : recordings_.front().recorder;
  event.channel = recordings_.empty() ? kNoChannel : recordings_.front().channel;
  if (ok) {
    if (snapshots_->isChecked() && !snapshotEntries_.empty()) {
      snapshotFolder_ = CopySnapshots(exported_);
    }
    const QString folder = QFileInfo(exported_).absolutePath();
    static_cast<void>(
        RegSetString(Hive::kCurrentUser, kViewerKey, kExportFolderValue, folder.toStdString()));
    static_cast<void>(RegSetDword(Hive::kCurrentUser, kViewerKey, kExportFormatValue,
                                  static_cast<uint32_t>(format_->currentIndex())));
    progress_->setValue(100);
    status_->setText(tr("已导出 %1 帧：%2").arg(frames).arg(exported_));
    openFolder_->show();
    cancel_->setText(tr("关闭"));
    event.kind = EventKind::kExportDone;
    event.detail = exported_;
    emit EventOccurred(event);
    emit Finished(true, exported_, QString());
    return;
  }
  progress_->setValue(0);
  const QString why = cancelled ? tr("已取消") : error;
  status_->setText(cancelled ? tr("导出已取消") : tr("导出失败：%1").arg(error));
  event.kind = EventKind::kExportFailed;
  event.detail = why;
  emit EventOccurred(event);
  emit Finished(false, exported_, why);
}

}  // namespace zarvion::viewer
