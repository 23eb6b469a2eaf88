// The settings and playback dialogs as real widgets, with a recording
// notification target and scripted answers to the message box and browser.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core_test_env.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/surface.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "settings/settings_store.h"

namespace fs = std::filesystem;
using namespace zarvion;

namespace {

// What a dialog reported, in the order it did.
enum Code : uint32_t { kGrid, kChannel, kPicture, kFile };
struct Notification {
  uint32_t code;
  uint32_t low;        // kPicture: the channel list index
  intptr_t value;      // the layout, the index, or the packed picture settings
  std::string text;    // kFile: the location
  bool dialogVisible;  // whether the sender was still shown during the signal
};

class Recorder {
 public:
  explicit Recorder(QWidget** sender) : sender_(sender) {}
  void Listen(SettingsDialog* d) {
    QObject::connect(d, &SettingsDialog::GridChosen,
                     [this](uint32_t layout) { Add(kGrid, 0, layout); });
    QObject::connect(d, &SettingsDialog::ChannelSelected,
                     [this](int index) { Add(kChannel, 0, index); });
    QObject::connect(d, &SettingsDialog::PictureChanged, [this](int index, uint32_t params) {
      Add(kPicture, static_cast<uint32_t>(index), params);
    });
  }
  void Listen(PlaybackDialog* d) {
    QObject::connect(d, &PlaybackDialog::FileChosen, [this](const QByteArray& location) {
      Add(kFile, 0, 0, location.toStdString());
    });
  }
  std::vector<Notification> log;

 private:
  void Add(uint32_t code, uint32_t low, intptr_t value, std::string text = {}) {
    log.push_back({code, low, value, std::move(text), *sender_ && (*sender_)->isVisible()});
  }
  QWidget** sender_;
};

// What a real double-click delivers: press, release, double-click, release.
void DoubleClick(QWidget* w, QPoint pos) {
  QTest::mousePress(w, Qt::LeftButton, {}, pos);
  QTest::mouseRelease(w, Qt::LeftButton, {}, pos);
  QTest::mouseDClick(w, Qt::LeftButton, {}, pos);
  QTest::mouseRelease(w, Qt::LeftButton, {}, pos);
}

class ScriptedSettingsDialog : public SettingsDialog {
 public:
  using SettingsDialog::SettingsDialog;
  std::vector<QString> errors;
  std::vector<QString> whys;  // what each error box said was wrong
  std::vector<QString> prompts;
  QString browseAnswer;

 protected:
  void ShowFolderError(const QString& folder, const QString& why) override {
    errors.push_back(folder);
    whys.push_back(why);
  }
  QString BrowseForFolder(const QString& prompt, const QString&) override {
    prompts.push_back(prompt);
    return browseAnswer;
  }
};

class SettingsDialogTest : public zarvion::testing::TempHomeTest {
 protected:
  void Make() {
    dialog_ = std::make_unique<ScriptedSettingsDialog>();
    target_.Listen(dialog_.get());
    sender_ = dialog_.get();
  }
  template <class T>
  T* Get(int id) {
    return qobject_cast<T*>(dialog_->Item(id));
  }
  void ShowDialog() {
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  // Press and release on the slider's handle, so its value stays put.
  void ReleaseOnHandle(QSlider* s) {
    QStyleOptionSlider opt;
    opt.initFrom(s);
    opt.orientation = s->orientation();
    opt.minimum = s->minimum();
    opt.maximum = s->maximum();
    opt.sliderPosition = s->sliderPosition();
    opt.sliderValue = s->value();
    opt.tickPosition = s->tickPosition();
    opt.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    QRect handle = s->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, s);
    QTest::mousePress(s, Qt::LeftButton, {}, handle.center());
    QTest::mouseRelease(s, Qt::LeftButton, {}, handle.center());
  }
  void FillFourChannels() {
    dialog_->FillChannelList({"全部通道", "CH 01", "CH 02", "CH 03", "CH 04"}, 0);
    for (int id : {208, 213, 214, 215, 216, 201}) dialog_->EnableItem(id, true);
  }

  QWidget* sender_ = nullptr;
  Recorder target_{&sender_};
  std::unique_ptr<ScriptedSettingsDialog> dialog_;
};

TEST_F(SettingsDialogTest, FirstStartWithAnEmptyStore) {
  Make();
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(dialog_->windowTitle(), QString::fromUtf8("Zarvion 设置"));
  EXPECT_TRUE(Get<QRadioButton>(212)->isChecked());
  EXPECT_FALSE(Get<QRadioButton>(210)->isChecked() || Get<QRadioButton>(211)->isChecked());
  EXPECT_EQ(Get<QLineEdit>(217)->text().toStdString(), Home() + "/Holmvard/Movie");
  EXPECT_EQ(Get<QLineEdit>(219)->text().toStdString(), Home() + "/Holmvard/Bitmap");
  EXPECT_TRUE(fs::is_directory(Home() + "/Holmvard/Movie"));
  EXPECT_TRUE(fs::is_directory(Home() + "/Holmvard/Bitmap"));
  for (int id : {208, 213, 214, 215, 216, 201}) EXPECT_FALSE(dialog_->Item(id)->isEnabled()) << id;
  for (int id : {1, 2, 210, 211, 212, 217, 218, 219, 220}) {
    EXPECT_TRUE(dialog_->Item(id)->isEnabled()) << id;
  }

  const int ranges[4][3] = {{255, 128}, {127, 0}, {127, 64}, {100, 68}};
  for (int i = 0; i < 4; ++i) {
    auto* s = Get<QSlider>(213 + i);
    EXPECT_EQ(s->minimum(), 0);
    EXPECT_EQ(s->maximum(), ranges[i][0]);
    EXPECT_EQ(s->value(), ranges[i][1]);
  }
  EXPECT_EQ(dialog_->VideoParams(), 0x44400080u);

  // Tab order follows the template.
  std::vector<int> order;
  QWidget* w = dialog_->Item(1);
  do {
    if (w->property("controlId").isValid()) order.push_back(w->property("controlId").toInt());
    w = w->nextInFocusChain();
  } while (w != dialog_->Item(1));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 210, 211, 212, 208, 213, 214, 215, 216, 201, 217, 218,
                                     219, 220}));
  EXPECT_TRUE(target_.log.empty());
  EXPECT_FALSE(RegKeyExists(Hive::kCurrentUser, kSettingsKey));
}

TEST_F(SettingsDialogTest, LayoutTakesEffectOnlyWithOk) {
  Make();
  ShowDialog();
  QTest::mouseClick(Get<QRadioButton>(210), Qt::LeftButton);
  EXPECT_TRUE(Get<QRadioButton>(210)->isChecked());
  EXPECT_FALSE(Get<QRadioButton>(212)->isChecked());
  QTest::mouseClick(Get<QPushButton>(2), Qt::LeftButton);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_TRUE(target_.log.empty());
  EXPECT_FALSE(RegKeyExists(Hive::kCurrentUser, kSettingsKey));

  ShowDialog();
  EXPECT_TRUE(Get<QRadioButton>(210)->isChecked());
  QTest::mouseClick(Get<QPushButton>(1), Qt::LeftButton);
  EXPECT_FALSE(dialog_->isVisible());
  ASSERT_EQ(target_.log.size(), 1u);
  EXPECT_EQ(target_.log[0].code, kGrid);
  EXPECT_EQ(target_.log[0].low, 0u);
  EXPECT_EQ(target_.log[0].value, 0x00040000);
  EXPECT_EQ(SettingsStore::ReadDrawMode(), 0x00040000u);
  std::string s;
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, &s));
  EXPECT_EQ(s, Home() + "/Holmvard/Movie");
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, kSettingsKey, kCapDirValue, &s));
  EXPECT_EQ(s, Home() + "/Holmvard/Bitmap");

  // Arrow keys move the choice too; an unchanged OK still saves and notifies.
  ShowDialog();
  QApplication::setActiveWindow(dialog_.get());
  Get<QRadioButton>(210)->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), Get<QRadioButton>(210));
  QTest::keyClick(Get<QRadioButton>(210), Qt::Key_Right);
  EXPECT_EQ(dialog_->DrawMode(), 0x00090000u);
  dialog_->accept();
  dialog_->accept();
  ASSERT_EQ(target_.log.size(), 3u);
  EXPECT_EQ(target_.log[2].value, 0x00090000);
}

// The real error box: a title that fits beside the frame's buttons, and a
// text that says what is wrong before the folder.
TEST_F(SettingsDialogTest, TheFolderErrorBoxSaysWhatIsWrongUnderATitleThatFits) {
  SettingsDialog dialog;
  target_.Listen(&dialog);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  qobject_cast<QLineEdit*>(dialog.Item(217))->setText("/gone");
  QString title, text;
  int width = 0, titleWidth = 0;
  // Runs inside the box's own event loop, which shows it first.
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(box);
    title = box->windowTitle();
    text = box->text();
    width = box->width();
    titleWidth = box->fontMetrics().horizontalAdvance(title);
    box->accept();
  });
  dialog.accept();  // returns when the box is closed
  EXPECT_EQ(title, QString::fromUtf8("Zarvion 设置错误"));
  EXPECT_EQ(text, QString::fromUtf8("录像保存文件夹不存在：\n/gone"));
  EXPECT_GE(width, titleWidth + 120) << width << " " << titleWidth;
  EXPECT_TRUE(dialog.isVisible());
}

TEST_F(SettingsDialogTest, MissingFoldersAreReportedRecordFolderFirst) {
  Make();
  ShowDialog();
  const std::string missingRec = root_.string() + "/gone/rec";
  const std::string missingCap = root_.string() + "/gone/cap";
  Get<QLineEdit>(217)->setText(QString::fromStdString(missingRec));
  Get<QLineEdit>(219)->setText(QString::fromStdString(missingCap));
  QTest::mouseClick(Get<QPushButton>(1), Qt::LeftButton);
  ASSERT_EQ(dialog_->errors.size(), 1u);
  EXPECT_EQ(dialog_->errors[0].toStdString(), missingRec);
  EXPECT_EQ(dialog_->whys[0], QString::fromUtf8("录像保存文件夹不存在："));
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_TRUE(target_.log.empty());
  EXPECT_FALSE(RegKeyExists(Hive::kCurrentUser, kSettingsKey));

  const std::string rec = MakeFolder("录像");
  Get<QLineEdit>(217)->setText(QString::fromStdString(rec));
  dialog_->accept();
  ASSERT_EQ(dialog_->errors.size(), 2u);
  EXPECT_EQ(dialog_->errors[1].toStdString(), missingCap);
  EXPECT_EQ(dialog_->whys[1], QString::fromUtf8("抓图保存文件夹不存在："));
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_TRUE(target_.log.empty());

  // Over-long text is read back as 259 bytes, cut between characters.
  std::string longText = root_.string() + "/";
  while (longText.size() < 300) longText += "长";
  Get<QLineEdit>(219)->setText(QString::fromStdString(longText));
  dialog_->accept();
  ASSERT_EQ(dialog_->errors.size(), 3u);
  const std::string shown = dialog_->errors[2].toStdString();
  EXPECT_LE(shown.size(), 259u);
  EXPECT_GT(shown.size(), 256u);
  EXPECT_EQ(longText.rfind(shown, 0), 0u);

  // A file is no folder; a folder this user cannot write to is none either.
  const std::string file = root_.string() + "/plain-file";
  ASSERT_TRUE(WriteFile(file, "x", 1));
  Get<QLineEdit>(219)->setText(QString::fromStdString(file));
  dialog_->accept();
  ASSERT_EQ(dialog_->errors.size(), 4u);
  EXPECT_EQ(dialog_->errors[3].toStdString(), file);
  EXPECT_TRUE(dialog_->whys[3].startsWith(QString::fromUtf8("抓图保存文件夹无法写入：")));
  EXPECT_TRUE(dialog_->whys[3].contains(QString::fromUtf8("不是文件夹")));
  Get<QLineEdit>(219)->setText(QString::fromStdString(rec));
  Get<QLineEdit>(217)->setText(QString::fromStdString(file));
  dialog_->accept();
  ASSERT_EQ(dialog_->errors.size(), 5u);
  EXPECT_EQ(dialog_->errors[4].toStdString(), file);
  EXPECT_TRUE(dialog_->isVisible());
  EXPECT_TRUE(target_.log.empty());
  Get<QLineEdit>(217)->setText(QString::fromStdString(rec));
  const std::string locked = MakeFolder("locked");
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  if (access(locked.c_str(), W_OK) == 0) {
    std::printf("running with rights over every folder: the read-only folder is not tested\n");
  } else {
    Get<QLineEdit>(219)->setText(QString::fromStdString(locked));
    dialog_->accept();
    ASSERT_EQ(dialog_->errors.size(), 6u);
    EXPECT_EQ(dialog_->errors[5].toStdString(), locked);
    EXPECT_TRUE(dialog_->whys[5].startsWith(QString::fromUtf8("抓图保存文件夹无法写入：")));
    EXPECT_TRUE(target_.log.empty());
  }
  chmod(locked.c_str(), 0755);

  const std::string cap = MakeFolder("cap");
  Get<QLineEdit>(219)->setText(QString::fromStdString(cap));
  dialog_->accept();
  EXPECT_FALSE(dialog_->isVisible());
  ASSERT_EQ(target_.log.size(), 1u);
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kRecordDir), rec);
  EXPECT_EQ(SettingsStore::ReadFolderSetting(kCapDir), cap);
  EXPECT_EQ(dialog_->RecordDir(), rec);
}

TEST_F(SettingsDialogTest, PictureSettingsNotifyOnMouseReleaseAndDefaults) {
  Make();
  ShowDialog();
  FillFourChannels();
  EXPECT_TRUE(target_.log.empty());  // filling the list is not a user choice
  Get<QComboBox>(208)->setCurrentIndex(3);
  ASSERT_EQ(target_.log.size(), 1u);
  EXPECT_EQ(target_.log[0].code, kChannel);
  EXPECT_EQ(target_.log[0].value, 3);

  // The control window moving the sliders sends nothing back.
  dialog_->SetTrackbarPos(215, 100);
  dialog_->SetTrackbarPos(216, 500);
  EXPECT_EQ(Get<QSlider>(216)->value(), 100);
  dialog_->SetTrackbarPos(216, 68);
  ASSERT_EQ(target_.log.size(), 1u);

  ReleaseOnHandle(Get<QSlider>(215));
  ASSERT_EQ(target_.log.size(), 2u);
  EXPECT_EQ(target_.log[1].code, kPicture);
  EXPECT_EQ(target_.log[1].low, 3u);
  EXPECT_EQ(target_.log[1].value, 0x44640080);

  // A click on the groove counts as a release, with the moved position.
  auto* hue = Get<QSlider>(214);
  QTest::mouseClick(hue, Qt::LeftButton, {}, QPoint(hue->width() - 3, hue->height() / 2));
  ASSERT_EQ(target_.log.size(), 3u);
  EXPECT_GT(hue->value(), 0);
  EXPECT_EQ(target_.log[2].value, static_cast<intptr_t>(dialog_->VideoParams()));
  EXPECT_EQ((target_.log[2].value >> 8) & 0xFF, hue->value());

  Get<QComboBox>(208)->setCurrentIndex(0);
  QTest::mouseClick(Get<QPushButton>(201), Qt::LeftButton);
  ASSERT_EQ(target_.log.size(), 5u);
  EXPECT_EQ(target_.log[4].code, kPicture);
  EXPECT_EQ(target_.log[4].low, 0u);
  EXPECT_EQ(target_.log[4].value, 0x44400080);
  EXPECT_EQ(dialog_->VideoParams(), 0x44400080u);
  EXPECT_TRUE(Get<QRadioButton>(212)->isChecked());  // layout untouched
  EXPECT_EQ(PackVideoParams(256 + 1, 2, 3, 4), 0x04030201u);
}

TEST_F(SettingsDialogTest, KeyboardAndWheelChangesNotifyOncePerChange) {
  Make();
  ShowDialog();
  FillFourChannels();
  Get<QComboBox>(208)->setCurrentIndex(2);
  target_.log.clear();
  auto* brightness = Get<QSlider>(213);
  brightness->setFocus();

  // One key stroke: one notification with the moved position.
  QTest::keyClick(brightness, Qt::Key_Right);
  ASSERT_EQ(target_.log.size(), 1u);
  EXPECT_EQ(target_.log[0].code, kPicture);
  EXPECT_EQ(target_.log[0].low, 2u);
  EXPECT_EQ(target_.log[0].value & 0xFF, 129);

  // A held key repeats press and release; only the last release reports.
  auto send = [&](QEvent::Type type, bool repeat) {
    QKeyEvent key(type, Qt::Key_Left, Qt::NoModifier, QString(), repeat);
    QApplication::sendEvent(brightness, &key);
  };
  send(QEvent::KeyPress, false);
  for (int i = 0; i < 9; ++i) {
    send(QEvent::KeyRelease, true);
    send(QEvent::KeyPress, true);
  }
  EXPECT_EQ(target_.log.size(), 1u);
  send(QEvent::KeyRelease, false);
  ASSERT_EQ(target_.log.size(), 2u);
  EXPECT_EQ(target_.log[1].value & 0xFF, 119);

  // A key that moves nothing (already at the minimum) reports nothing.
  brightness->setValue(0);
  QTest::keyClick(brightness, Qt::Key_Left);
  EXPECT_EQ(target_.log.size(), 2u);

  // Each wheel turn that moves the slider reports its position.
  auto* contrast = Get<QSlider>(216);
  const QPointF at(contrast->width() / 2.0, contrast->height() / 2.0);
  QWheelEvent wheel(at, contrast->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(contrast, &wheel);
  ASSERT_EQ(target_.log.size(), 3u);
  EXPECT_NE(contrast->value(), kDefaultContrast);
  EXPECT_EQ((target_.log[2].value >> 24) & 0xFF, contrast->value());
}

TEST_F(SettingsDialogTest, StoredNonGridModeChecksNoLayout) {
  ASSERT_TRUE(RegSetDword(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, 5));
  Make();
  for (int id : {210, 211, 212}) EXPECT_FALSE(Get<QRadioButton>(id)->isChecked()) << id;
  EXPECT_EQ(dialog_->DrawMode(), 5u);
  ASSERT_TRUE(RegSetDword(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, 0x00090000));
  Make();
  EXPECT_TRUE(Get<QRadioButton>(211)->isChecked());
}

TEST_F(SettingsDialogTest, BrowseFillsTheEditOnlyWhenConfirmed) {
  Make();
  const QString before = Get<QLineEdit>(217)->text();
  dialog_->browseAnswer = "";
  QTest::mouseClick(Get<QPushButton>(218), Qt::LeftButton);
  EXPECT_EQ(Get<QLineEdit>(217)->text(), before);
  dialog_->browseAnswer = "/picked/folder";
  QTest::mouseClick(Get<QPushButton>(220), Qt::LeftButton);
  EXPECT_EQ(Get<QLineEdit>(219)->text(), "/picked/folder");
  EXPECT_EQ(Get<QLineEdit>(217)->text(), before);
  ASSERT_EQ(dialog_->prompts.size(), 2u);
  EXPECT_EQ(dialog_->prompts[0], QString::fromUtf8("选择一个文件夹保存录制的影片"));
  EXPECT_EQ(dialog_->prompts[1], QString::fromUtf8("选择一个文件夹保存抓取的图片"));
  EXPECT_TRUE(target_.log.empty());
  EXPECT_FALSE(RegKeyExists(Hive::kCurrentUser, kSettingsKey));
}

class PlaybackDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As in the product: the template's face stands for the CJK face.
    QFont::insertSubstitution(QString::fromUtf8(kFontFace), QString::fromUtf8(kFontFaceSubstitute));
    dialog_ = std::make_unique<PlaybackDialog>();
    target_.Listen(dialog_.get());
    sender_ = dialog_.get();
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  QTreeWidget* List() { return dialog_->List(); }
  QPoint RowCentre(int row) { return List()->visualItemRect(List()->topLevelItem(row)).center(); }
  void AddRows(int n) {
    for (int i = 0; i < n; ++i) {
      std::string ch = "0" + std::to_string(i + 1);
      dialog_->AppendPlaybackRow(ch, "2007-05-12 10:20:30", "CH" + ch + "_2007_05_12_10_20_30.avi");
    }
  }

  QWidget* sender_ = nullptr;
  Recorder target_{&sender_};
  std::unique_ptr<PlaybackDialog> dialog_;
};

TEST_F(PlaybackDialogTest, RowsShowConvertedTextsAndKeepLocationBytes) {
  EXPECT_EQ(dialog_->windowTitle(), QString::fromUtf8("视频回放 选择通道和视频源"));
  QTreeWidgetItem* header = List()->headerItem();
  EXPECT_EQ(header->text(0), QString::fromUtf8("通道"));
  EXPECT_EQ(header->text(1), QString::fromUtf8("时间"));
  EXPECT_EQ(header->text(2), QString::fromUtf8("文件位置"));
  EXPECT_EQ(List()->columnWidth(0), 36);
  // At least the template's 130 pixels, and wide enough for a whole time.
  EXPECT_GE(List()->columnWidth(1), 130);
  EXPECT_GT(List()->columnWidth(1),
            List()->fontMetrics().horizontalAdvance(QStringLiteral("2007-05-12 10:20:30")));
  EXPECT_EQ(List()->columnWidth(2), 240);

  EXPECT_EQ(dialog_->AppendPlaybackRow("03", "2007-05-12 10:20:30", "CH03_2007_05_12_10_20_30.avi"),
            0);
  // "录像" in GBK, then an invalid byte, as an untrusted server might send.
  const std::string gbk = "D:\\\xC2\xBC\xCF\xF1\\CH01_x\xFF.avi";
  EXPECT_EQ(dialog_->AppendPlaybackRow("01", "", gbk), 1);
  EXPECT_EQ(dialog_->AppendPlaybackRow("", "", ""), 2);
  EXPECT_EQ(List()->topLevelItem(0)->text(0), "03");
  EXPECT_EQ(List()->topLevelItem(0)->text(1), "2007-05-12 10:20:30");
  EXPECT_EQ(List()->topLevelItem(1)->text(2),
            QString::fromUtf8("D:\\录像\\CH01_x\xEF\xBF\xBD.avi"));
  EXPECT_EQ(List()->topLevelItem(1)->text(1), "");

  List()->setCurrentItem(List()->topLevelItem(1));
  QTest::mouseClick(dialog_->Item(1), Qt::LeftButton);
  ASSERT_EQ(target_.log.size(), 1u);
  EXPECT_EQ(target_.log[0].code, kFile);
  EXPECT_EQ(target_.log[0].low, 0u);
  EXPECT_EQ(target_.log[0].text, gbk);

  // A second list without clearing adds to the first; clearing empties it.
  AddRows(2);
  EXPECT_EQ(dialog_->RowCount(), 5);
  dialog_->ClearList();
  EXPECT_EQ(dialog_->RowCount(), 0);
  EXPECT_EQ(dialog_->RowLocation(0), "");
}

TEST_F(PlaybackDialogTest, NothingSelected) {
  DoubleClick(List()->viewport(), QPoint(20, 150));
  EXPECT_TRUE(dialog_->isVisible());
  AddRows(3);
  List()->clearSelection();
  DoubleClick(List()->viewport(), QPoint(20, 190));  // below the rows
  EXPECT_TRUE(dialog_->isVisible());
  QTest::mouseClick(dialog_->Item(1), Qt::LeftButton);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_TRUE(target_.log.empty());
}

TEST_F(PlaybackDialogTest, SelectionMarkDecidesAndOrderOfHideAndNotify) {
  AddRows(5);
  // Rows 1 and 4 with the control key: row 4 is the mark.
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(1));
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(4));
  EXPECT_EQ(List()->selectedItems().size(), 2);
  QTest::mouseClick(dialog_->Item(1), Qt::LeftButton);
  ASSERT_EQ(target_.log.size(), 1u);
  EXPECT_EQ(target_.log[0].text, "CH05_2007_05_12_10_20_30.avi");
  EXPECT_FALSE(target_.log[0].dialogVisible);  // OK hides first

  dialog_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  DoubleClick(List()->viewport(), RowCentre(2));
  ASSERT_EQ(target_.log.size(), 2u);
  EXPECT_EQ(target_.log[1].text, "CH03_2007_05_12_10_20_30.avi");
  EXPECT_TRUE(target_.log[1].dialogVisible);  // the double-click notifies first
  EXPECT_FALSE(dialog_->isVisible());

  // Row 4 clicked twice with the control key is the mark but not selected:
  // the one selected row plays, by OK and by Enter alike.
  for (bool enter : {false, true}) {
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(1));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(4));
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(4));
    ASSERT_EQ(List()->selectedItems().size(), 1);
    ASSERT_EQ(List()->currentItem(), List()->topLevelItem(4));
    const size_t before = target_.log.size();
    if (enter) {
      QTest::keyClick(List(), Qt::Key_Return);
    } else {
      QTest::mouseClick(dialog_->Item(1), Qt::LeftButton);
    }
    ASSERT_EQ(target_.log.size(), before + 1) << enter;
    EXPECT_EQ(target_.log.back().text, "CH02_2007_05_12_10_20_30.avi") << enter;
    EXPECT_FALSE(dialog_->isVisible());
  }
  // Rows 1 and 3 selected, then row 4 toggled on and off: the earliest
  // selected row plays; with none selected nothing does.
  dialog_->show();
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(3));
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(1));
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(4));
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(4));
  dialog_->accept();
  EXPECT_EQ(target_.log.back().text, "CH02_2007_05_12_10_20_30.avi");
  const size_t played = target_.log.size();
  dialog_->show();
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowCentre(4));
  QTest::mouseClick(List()->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(4));
  ASSERT_TRUE(List()->selectedItems().isEmpty());
  dialog_->accept();
  EXPECT_EQ(target_.log.size(), played);

  // Cancel only hides; the rows stay.
  dialog_->show();
  QTest::mouseClick(dialog_->Item(2), Qt::LeftButton);
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(target_.log.size(), played);
  EXPECT_EQ(dialog_->RowCount(), 5);
}

TEST_F(PlaybackDialogTest, UnderscoresAreVisibleInTheRows) {
  // The same location with blanks for underscores: the two rows may only
  // look alike if the underscores are cut off below the text.
  dialog_->AppendPlaybackRow("03", "2007-05-12 10:20:30", "CH03_2007_05_12_10_20_30.avi");
  dialog_->AppendPlaybackRow("03", "2007-05-12 10:20:30", "CH03 2007 05 12 10 20 30.avi");
  List()->clearSelection();
  List()->setCurrentItem(nullptr);
  QTest::qWait(20);
  auto rowPicture = [&](int row) {
    QRect r = List()->visualRect(List()->model()->index(row, 2));
    return List()->viewport()->grab(r).toImage().convertToFormat(QImage::Format_RGB32);
  };
  const QImage underscores = rowPicture(0);
  const QImage blanks = rowPicture(1);
  ASSERT_EQ(underscores.size(), blanks.size());
  int differing = 0;
  for (int y = 0; y < underscores.height(); ++y) {
    for (int x = 0; x < underscores.width(); ++x) {
      differing += underscores.pixel(x, y) != blanks.pixel(x, y);
    }
  }
  // Five underscores of a few pixels each.
  EXPECT_GE(differing, 5);
}

TEST_F(PlaybackDialogTest, LongLocationIsCutTo259Bytes) {
  const std::string location(300, 'L');
  dialog_->AppendPlaybackRow("01", "t", location);
  EXPECT_EQ(dialog_->RowLocation(0), location);
  List()->setCurrentItem(List()->topLevelItem(0));
  dialog_->accept();
  ASSERT_EQ(target_.log.size(), 1u);
  EXPECT_EQ(target_.log[0].text, std::string(259, 'L'));
}

}  // namespace

int main(int argc, char** argv) {
  // Listing the tests at build time runs this program without a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
