#include "settings/settings_dialog.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpacerItem>

#include "platform/files.h"
#include "settings/dialog_icon.h"
#include "settings/settings_store.h"
#include "settings/trackbar.h"
#include "ui_settings_dialog.h"

namespace zarvion {
namespace {

// Room a window frame takes beside the title: its buttons and margins.
constexpr int kTitleFrameAllowance = 160;

// Reads an edit back as at most 259 bytes of UTF-8, cut between characters.
std::string ReadFolderEdit(const QLineEdit* edit) {
  std::string text = edit->text().toStdString();
  if (text.size() > kFolderMaxBytes) {
    size_t end = kFolderMaxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
  }
  return text;
}

void CentreOnScreen(QWidget* w) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect area = screen->availableGeometry();
  w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
}

}  // namespace

SettingsDialog::SettingsDialog(QWidget* parent)
    : QDialog(parent), form_(std::make_unique<Ui::SettingsDialogForm>()) {
  form_->setupUi(this);
  // Caption, system menu and minimize box; a fixed frame.
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QCoreApplication::translate("SettingsDialog", kSettingsTitle));
  setWindowIcon(DialogIcon());
  setFixedSize(size());
  setModal(false);
  CentreOnScreen(this);

  // The picture controls wait for a session that allows them.
  for (int id :
       {kIdChannelList, kIdBrightness, kIdHue, kIdSaturation, kIdContrast, kIdDefaultParams}) {
    EnableItem(id, false);
  }
  form_->id213->setRange(0, 255);
  form_->id213->setValue(kDefaultBrightness);
  form_->id214->setRange(0, 127);
  form_->id214->setValue(kDefaultHue);
  form_->id215->setRange(0, 127);
  form_->id215->setValue(kDefaultSaturation);
  form_->id216->setRange(0, 100);
  form_->id216->setValue(kDefaultContrast);

  layoutGroup_ = new QButtonGroup(this);
  layoutGroup_->addButton(form_->id210, kIdGrid4);
  layoutGroup_->addButton(form_->id211, kIdGrid9);
  layoutGroup_->addButton(form_->id212, kIdGrid16);

  drawMode_ = SettingsStore::ReadDrawMode();
  if (drawMode_ == 0x00100000) {
    form_->id212->setChecked(true);
  } else if (drawMode_ == 0x00090000) {
    form_->id211->setChecked(true);
  } else if (drawMode_ == 0x00040000) {
    form_->id210->setChecked(true);
  }
  capDir_ = SettingsStore::ReadFolderSetting(kCapDir);
  form_->id219->setText(QString::fromStdString(capDir_));
  recordDir_ = SettingsStore::ReadFolderSetting(kRecordDir);
  form_->id217->setText(QString::fromStdString(recordDir_));

  // Clicks and arrow keys alike choose the layout; only OK applies it.
  connect(layoutGroup_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
    if (!checked) return;
    if (id == kIdGrid4) drawMode_ = 0x00040000;
    if (id == kIdGrid9) drawMode_ = 0x00090000;
    if (id == kIdGrid16) drawMode_ = 0x00100000;
  });
  connect(form_->id1, &QPushButton::clicked, this, &SettingsDialog::accept);
  connect(form_->id2, &QPushButton::clicked, this, &SettingsDialog::reject);
  connect(form_->id208, &QComboBox::currentIndexChanged, this,
          [this](int index) { emit ChannelSelected(index < 0 ? 0 : index); });
  for (Trackbar* t : {form_->id213, form_->id214, form_->id215, form_->id216}) {
    t->onReleased = [this] { SendVideoParams(); };
  }
  connect(form_->id201, &QPushButton::clicked, this, &SettingsDialog::RestoreDefaultParams);
  connect(form_->id218, &QPushButton::clicked, this,
          [this] { Browse(form_->id217, kBrowseRecordPrompt); });
  connect(form_->id220, &QPushButton::clicked, this,
          [this] { Browse(form_->id219, kBrowseCapturePrompt); });
}

SettingsDialog::~SettingsDialog() = default;

QWidget* SettingsDialog::Item(int id) const {
  switch (id) {
    case 1:
      return form_->id1;
    case 2:
      return form_->id2;
    case kIdDefaultParams:
      return form_->id201;
    case kIdChannelList:
      return form_->id208;
    case kIdGrid4:
      return form_->id210;
    case kIdGrid9:
      return form_->id211;
    case kIdGrid16:
      return form_->id212;
    case kIdBrightness:
      return form_->id213;
    case kIdHue:
      return form_->id214;
    case kIdSaturation:
      return form_->id215;
    case kIdContrast:
      return form_->id216;
    case kIdRecordDirEdit:
      return form_->id217;
    case kIdRecordDirBrowse:
      return form_->id218;
    case kIdCapDirEdit:
      return form_->id219;
    case kIdCapDirBrowse:
      return form_->id220;
    default:
      return nullptr;
  }
}

void SettingsDialog::EnableItem(int id, bool enable) {
  if (QWidget* w = Item(id)) w->setEnabled(enable);
}

void SettingsDialog::FillChannelList(const std::vector<std::string>& utf8Items, int selected) {
  QSignalBlocker block(form_->id208);
  form_->id208->clear();
  for (const auto& item : utf8Items) form_->id208->addItem(QString::fromStdString(item));
  form_->id208->setCurrentIndex(selected);
}

void SettingsDialog::SetTrackbarPos(int id, int pos) {
  if (auto* slider = qobject_cast<QSlider*>(Item(id));
      slider && id >= kIdBrightness && id <= kIdContrast) {
    slider->setValue(pos);
  }
}

uint32_t SettingsDialog::VideoParams() const {
  return PackVideoParams(form_->id213->value(), form_->id214->value(), form_->id215->value(),
                         form_->id216->value());
}

uint32_t SettingsDialog::ComboIndex() const {
  // The list is filled (and an item selected) before the controls that
  // send it are enabled; an empty list counts as "all channels".
  int index = form_->id208->currentIndex();
  return index < 0 ? 0 : static_cast<uint32_t>(index);
}

void SettingsDialog::SendVideoParams() {
  emit PictureChanged(static_cast<int>(ComboIndex()), VideoParams());
}

void SettingsDialog::RestoreDefaultParams() {
  form_->id213->setValue(kDefaultBrightness);
  form_->id214->setValue(kDefaultHue);
  form_->id215->setValue(kDefaultSaturation);
  form_->id216->setValue(kDefaultContrast);
  emit PictureChanged(static_cast<int>(ComboIndex()), kDefaultVideoParams);
}

void SettingsDialog::Browse(QLineEdit* edit, const char* prompt) {
  QString start = edit->text();
  if (!PathFileExists(start.toStdString())) start = QString::fromStdString(HomeFolder());
  QString folder = BrowseForFolder(QCoreApplication::translate("SettingsDialog", prompt), start);
  if (!folder.isEmpty()) edit->setText(folder);
}

void SettingsDialog::accept() {
  // The record folder is tested first, so with both missing only its box shows.
  // A file, or a folder this user cannot write to, is refused like a missing
  // folder: every later recording or snapshot would fail without a word.
  recordDir_ = ReadFolderEdit(form_->id217);
  if (const QString why = FolderProblem(recordDir_, true); !why.isEmpty()) {
    ShowFolderError(QString::fromStdString(recordDir_), why);
    return;
  }
  capDir_ = ReadFolderEdit(form_->id219);
  if (const QString why = FolderProblem(capDir_, false); !why.isEmpty()) {
    ShowFolderError(QString::fromStdString(capDir_), why);
    return;
  }
  SettingsStore::SaveSettings(drawMode_, capDir_, recordDir_);
  emit GridChosen(drawMode_);
  hide();
}

void SettingsDialog::reject() {
  hide();
}

QString FolderProblem(const std::string& folder, bool record) {
  const auto text = [](const char* utf8) {
    return QCoreApplication::translate("SettingsDialog", utf8);
  };
  const QString which = record ? text(QT_TRANSLATE_NOOP("SettingsDialog", "录像保存文件夹"))
                               : text(QT_TRANSLATE_NOOP("SettingsDialog", "抓图保存文件夹"));
  if (IsWritableFolder(folder)) return QString();
  if (!PathFileExists(folder)) {
    return text(QT_TRANSLATE_NOOP("SettingsDialog", "%1不存在：")).arg(which);
  }
  if (!IsFolder(folder)) {
    return text(QT_TRANSLATE_NOOP("SettingsDialog", "%1无法写入：这是一个文件，不是文件夹："))
        .arg(which);
  }
  return text(QT_TRANSLATE_NOOP("SettingsDialog", "%1无法写入：没有写入权限：")).arg(which);
}

void SettingsDialog::ShowFolderError(const QString& folder, const QString& why) {
  QMessageBox box(QMessageBox::Critical,
                  QCoreApplication::translate("SettingsDialog", kFolderErrorCaption),
                  why + QLatin1Char('\n') + folder, QMessageBox::Ok, this);
  // The box is as wide as its text; a short path must not leave the title
  // cut off by the window frame's buttons.
  const int title = box.fontMetrics().horizontalAdvance(box.windowTitle());
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(title + kTitleFrameAllowance, 0, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
  box.exec();
}

QString SettingsDialog::BrowseForFolder(const QString& prompt, const QString& start) {
  return QFileDialog::getExistingDirectory(this, prompt, start, QFileDialog::ShowDirsOnly);
}

}  // namespace zarvion
