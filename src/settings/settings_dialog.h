// The modeless settings dialog: default layout, the picture settings of one
// channel or all channels on the server, and the snapshot and recording
// folders. OK, Cancel and the close box only hide it; its controls keep
// their state between showings, and its draw mode and folders are loaded
// from the settings store once, when it is made.
//
// Everything that matters outside the dialog is a signal, delivered at once
// on the dialog's thread: GridChosen on OK, ChannelSelected when the channel
// list's selection changes, PictureChanged when the mouse lets go of a
// picture slider or "默认值" is pressed.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QButtonGroup;
class QComboBox;
class QLineEdit;

namespace Ui {
class SettingsDialogForm;
}

namespace zarvion {

class Trackbar;

// Template ids of the settings dialog's controls.
constexpr int kIdDefaultParams = 201;
constexpr int kIdChannelList = 208;
constexpr int kIdGrid4 = 210;
constexpr int kIdGrid9 = 211;
constexpr int kIdGrid16 = 212;
constexpr int kIdBrightness = 213;
constexpr int kIdHue = 214;
constexpr int kIdSaturation = 215;
constexpr int kIdContrast = 216;
constexpr int kIdRecordDirEdit = 217;
constexpr int kIdRecordDirBrowse = 218;
constexpr int kIdCapDirEdit = 219;
constexpr int kIdCapDirBrowse = 220;

// Start positions of the four sliders, and what "默认值" restores.
constexpr int kDefaultBrightness = 128;
constexpr int kDefaultHue = 0;
constexpr int kDefaultSaturation = 64;
constexpr int kDefaultContrast = 68;
constexpr uint32_t kDefaultVideoParams = 0x44400080;

// Shown through the application's translators (context "SettingsDialog").
inline constexpr const char* kSettingsTitle = QT_TRANSLATE_NOOP("SettingsDialog", "Zarvion 设置");
// The folder error box's title; its text says what is wrong with which folder.
inline constexpr const char* kFolderErrorCaption =
    QT_TRANSLATE_NOOP("SettingsDialog", "Zarvion 设置错误");
inline constexpr const char* kBrowseRecordPrompt =
    QT_TRANSLATE_NOOP("SettingsDialog", "选择一个文件夹保存录制的影片");
inline constexpr const char* kBrowseCapturePrompt =
    QT_TRANSLATE_NOOP("SettingsDialog", "选择一个文件夹保存抓取的图片");

// What keeps `folder` from taking recordings (`record`) or snapshots, in
// one line for the error box; empty when it can.
QString FolderProblem(const std::string& folder, bool record);

// Brightness in bits 0-7, hue 8-15, saturation 16-23, contrast 24-31; each
// position modulo 256.
constexpr uint32_t PackVideoParams(int brightness, int hue, int saturation, int contrast) {
  return (static_cast<uint32_t>(brightness) & 0xFF) | (static_cast<uint32_t>(hue) & 0xFF) << 8 |
         (static_cast<uint32_t>(saturation) & 0xFF) << 16 |
         (static_cast<uint32_t>(contrast) & 0xFF) << 24;
}

class SettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // Made hidden, owned by `parent`.
  explicit SettingsDialog(QWidget* parent = nullptr);
  ~SettingsDialog() override;

  // The control with a template id (1, 2, 201, 208, 210-220), or null.
  QWidget* Item(int id) const;
  QWidget* ControlById(int id) const { return Item(id); }
  void EnableItem(int id, bool enable);

  // Replaces the channel list's items and selects one, without notifying.
  void FillChannelList(const std::vector<std::string>& utf8Items, int selected);
  // Moves slider 213..216 (clamped to its range), without notifying.
  void SetTrackbarPos(int id, int pos);

  uint32_t DrawMode() const { return drawMode_; }
  // The four slider positions packed.
  uint32_t VideoParams() const;
  // The folders as loaded at set-up or last read back by OK (UTF-8).
  const std::string& CapDir() const { return capDir_; }
  const std::string& RecordDir() const { return recordDir_; }

 public slots:
  // OK: both folders must be folders this user can write to; then save,
  // signal GridChosen, hide.
  void accept() override;
  // Cancel, Escape and the close box: hide, restoring nothing.
  void reject() override;

 signals:
  // OK was pressed with this layout (a grid DrawMode word).
  void GridChosen(uint32_t layout);
  // The channel list's selection: 0 for all channels, else channel k.
  void ChannelSelected(int index);
  // The picture settings to send for list entry `index` (0: all channels),
  // packed as PackVideoParams packs them.
  void PictureChanged(int index, uint32_t videoParams);

 protected:
  // The folder error box, owned by the dialog: `why` is what is wrong
  // ("...不存在", "...无法写入"), followed by the folder. Tests override it.
  virtual void ShowFolderError(const QString& folder, const QString& why);
  // The folder browser; an empty result means cancelled. Tests override it.
  virtual QString BrowseForFolder(const QString& prompt, const QString& start);

 private:
  void SendVideoParams();
  void RestoreDefaultParams();
  void Browse(QLineEdit* edit, const char* prompt);
  uint32_t ComboIndex() const;

  std::unique_ptr<Ui::SettingsDialogForm> form_;
  QButtonGroup* layoutGroup_ = nullptr;
  uint32_t drawMode_ = 0;
  std::string capDir_;
  std::string recordDir_;
};

}  // namespace zarvion
