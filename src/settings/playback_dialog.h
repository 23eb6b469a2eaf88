// The modeless playback selection dialog: the recordings the server offers,
// one row each (channel, time, location), of which the user plays one.
//
// The row played is the selection mark (the current row: the one most
// recently clicked or moved to), provided any row is selected. OK hides the
// dialog and then signals FileChosen; a double-click on the list signals and
// then hides, and does nothing while no row is selected. The signal carries
// the row's location bytes exactly as the server sent them (up to the first
// NUL, at most 259 bytes), delivered at once on the dialog's thread.
#pragma once

#include <QByteArray>
#include <QDialog>

#include <cstddef>
#include <memory>
#include <string>

class QTreeWidget;

namespace Ui {
class PlaybackDialogForm;
}

namespace zarvion {

constexpr int kIdFileList = 209;
// A file location and its terminator.
constexpr size_t kLocationBufferSize = 260;
// Shown through the application's translators (context "PlaybackDialog").
inline constexpr const char* kPlaybackTitle =
    QT_TRANSLATE_NOOP("PlaybackDialog", "视频回放 选择通道和视频源");

class PlaybackDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PlaybackDialog(QWidget* parent = nullptr);
  ~PlaybackDialog() override;

  // The control with a template id (1, 2, 209), or null.
  QWidget* Item(int id) const;
  QWidget* ControlById(int id) const { return Item(id); }
  QTreeWidget* List() const;

  void ClearList();
  // Appends a row; the GBK texts are converted for display and the location
  // bytes are kept for playing. An empty time or location leaves its column
  // empty. Returns the new row's index.
  int AppendPlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
                        const std::string& locationGbk);
  int RowCount() const;
  // The location bytes kept for a row (empty outside the list).
  std::string RowLocation(int row) const;

 public slots:
  void accept() override;
  void reject() override;

 signals:
  // The user chose the recording at `locationGbk` to play.
  void FileChosen(const QByteArray& locationGbk);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The row to play, or -1 when no row is selected.
  int ChosenRow() const;
  void Play(int row);

  std::unique_ptr<Ui::PlaybackDialogForm> form_;
};

}  // namespace zarvion
