// The viewer and its controls with English chosen: every text of every
// window an operator can open is English, and so are the texts the
// control's connection thread sets and the words drawn over the pictures.
// This program stores the choice and installs it as zarvion-viewer does at
// start, before any window exists.
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeView>

#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "video/captions.h"
#include "window/repair_status.h"
#include "viewer/connect_dialog.h"
#include "viewer/language.h"
#include "viewer/main_window.h"
#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

class EnglishChosen : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(SaveLanguage(Language::kEnglish));
    ASSERT_EQ(LoadLanguage(), Language::kEnglish);
    ASSERT_TRUE(InstallLanguage(*qApp, LoadLanguage())) << "the English catalogue did not load";
  }
};
::testing::Environment* const kEnglish = ::testing::AddGlobalTestEnvironment(new EnglishChosen);

// CJK ideographs and the CJK and full-width punctuation that comes with them.
bool HasChinese(const QString& text) {
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if ((u >= 0x3000 && u <= 0x303F) || (u >= 0x3400 && u <= 0x4DBF) ||
        (u >= 0x4E00 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) ||
        (u >= 0xFF00 && u <= 0xFFEF)) {
      return true;
    }
  }
  return false;
}

// One text an operator can see, and where it is.
struct Shown {
  const QObject* owner;
  std::string what;
  QString text;
};

void AddAction(const QAction* action, std::vector<Shown>* out) {
  out->push_back({action, "text", action->text()});
  out->push_back({action, "toolTip", action->toolTip()});
  out->push_back({action, "statusTip", action->statusTip()});
  out->push_back({action, "whatsThis", action->whatsThis()});
}

// Every text of `root` and its children: titles, labels, buttons, tips,
// menus and actions, combo items, group boxes, list headers, tabs.
std::vector<Shown> TextsOf(QWidget* root) {
  std::vector<Shown> out;
  QList<QWidget*> widgets = root->findChildren<QWidget*>();
  widgets.prepend(root);
  for (QWidget* w : widgets) {
    out.push_back({w, "windowTitle", w->windowTitle()});
    out.push_back({w, "toolTip", w->toolTip()});
    out.push_back({w, "statusTip", w->statusTip()});
    out.push_back({w, "whatsThis", w->whatsThis()});
    for (const QAction* a : w->actions()) AddAction(a, &out);
    if (auto* label = qobject_cast<QLabel*>(w)) out.push_back({w, "text", label->text()});
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      out.push_back({w, "text", button->text()});
    }
    if (auto* box = qobject_cast<QGroupBox*>(w)) out.push_back({w, "title", box->title()});
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      out.push_back({w, "placeholder", edit->placeholderText()});
    }
    if (auto* menu = qobject_cast<QMenu*>(w)) {
      out.push_back({w, "title", menu->title()});
      AddAction(menu->menuAction(), &out);
    }
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
      for (int i = 0; i < combo->count(); ++i) out.push_back({w, "item", combo->itemText(i)});
    }
    if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
      for (int i = 0; i < tabs->count(); ++i) {
        out.push_back({w, "tab", tabs->tabText(i)});
        out.push_back({w, "tabToolTip", tabs->tabToolTip(i)});
      }
    }
    if (auto* view = qobject_cast<QTreeView*>(w); view && view->model()) {
      for (int c = 0; c < view->model()->columnCount(); ++c) {
        out.push_back({w, "header", view->model()->headerData(c, Qt::Horizontal).toString()});
      }
    }
  }
  return out;
}

std::vector<std::string> ChineseTexts(
    const std::vector<Shown>& texts,
    const std::vector<std::pair<const QObject*, std::string>>& allowed = {}) {
  std::vector<std::string> found;
  for (const Shown& s : texts) {
    if (!HasChinese(s.text)) continue;
    bool ok = false;
    for (const auto& [owner, what] : allowed) ok = ok || (owner == s.owner && what == s.what);
    if (ok) continue;
    found.push_back(s.owner->metaObject()->className() + std::string(" ") +
                    s.owner->objectName().toStdString() + " " + s.what + ": " +
                    s.text.toStdString());
  }
  return found;
}

TEST_F(ViewerTest, EveryWindowOfTheViewerAndTheControlIsEnglish) {
  // The fixture starts from an empty key; the texts were installed already.
  ASSERT_TRUE(SaveLanguage(Language::kEnglish));
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  MainWindow window;
  window.show();
  RecorderTab* tab = window.OpenRecorder(At(*server));
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 5000 * kSlow));
  ConnectDialog* dialog = window.ShowConnectDialog();
  ASSERT_TRUE(dialog);
  ControlWindow* control = tab->Window();
  ASSERT_TRUE(control);
  SettingsDialog* settings = control->Settings();
  PlaybackDialog* playback = control->Playback();
  ASSERT_TRUE(settings && playback);
  // The connection thread fills the channel list once the session allows
  // picture settings: its first item is the control's own text.
  auto* channels = settings->findChild<QComboBox*>();
  ASSERT_TRUE(channels);
  ASSERT_TRUE(WaitUntil([&] { return channels->count() > 1; }, 5000 * kSlow));
  EXPECT_EQ(channels->itemText(0), QString("All"));
  settings->show();
  playback->show();

  // The language menu names itself and Chinese in Chinese on purpose: an
  // operator who cannot read the language on screen must find the way back.
  const std::vector<std::pair<const QObject*, std::string>> languageNames = {
      {window.LanguageMenu(), "title"},
      {window.LanguageMenu()->menuAction(), "text"},
      {window.LanguageMenu()->menuAction(), "toolTip"},
      {window.ChineseAction(), "text"},
  };
  EXPECT_EQ(ChineseTexts(TextsOf(&window), languageNames), std::vector<std::string>{});
  EXPECT_EQ(ChineseTexts(TextsOf(dialog)), std::vector<std::string>{});
  EXPECT_EQ(ChineseTexts(TextsOf(control)), std::vector<std::string>{});
  EXPECT_EQ(ChineseTexts(TextsOf(settings)), std::vector<std::string>{});
  EXPECT_EQ(ChineseTexts(TextsOf(playback)), std::vector<std::string>{});

  // Spot checks that the walk saw translated texts, not empty ones.
  EXPECT_TRUE(window.windowTitle().startsWith("Zarvion viewer — Connected to 127.0.0.1"))
      << window.windowTitle().toStdString();
  EXPECT_EQ(settings->windowTitle(), QString("Zarvion settings"));
  EXPECT_EQ(dialog->OkButton()->text(), QString("Connect"));
  EXPECT_TRUE(window.EnglishAction()->isChecked());
  EXPECT_FALSE(window.ChineseAction()->isChecked());
  EXPECT_EQ(window.EnglishAction()->statusTip(),
            QString("Takes effect the next time the viewer starts"));

  if (const char* dir = std::getenv("ZARVION_ENGLISH_SHOTS")) {
    window.grab().save(QString("%1/main_window.png").arg(dir));
    settings->grab().save(QString("%1/settings.png").arg(dir));
    playback->grab().save(QString("%1/playback.png").arg(dir));
    dialog->grab().save(QString("%1/connect.png").arg(dir));
  }
}

TEST_F(ViewerTest, ConnectionTroubleIsExplainedInEnglish) {
  // A port nobody listens on: refused at once, then retried.
  uint16_t port = 0;
  {
    auto closed = StartRecorder();
    ASSERT_TRUE(closed);
    port = closed->Port();
  }
  MainWindow window;
  window.show();
  Recorder r;
  r.host = "127.0.0.1";
  r.port = port;
  RecorderTab* tab = window.OpenRecorder(r);
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kWaiting; }, 5000 * kSlow));
  EXPECT_TRUE(tab->StateText().startsWith("Cannot connect to 127.0.0.1"))
      << tab->StateText().toStdString();
  EXPECT_TRUE(tab->StateText().contains("connection refused"));
  EXPECT_EQ(ChineseTexts(TextsOf(&window), {{window.LanguageMenu(), "title"},
                                            {window.LanguageMenu()->menuAction(), "text"},
                                            {window.LanguageMenu()->menuAction(), "toolTip"},
                                            {window.ChineseAction(), "text"}}),
            std::vector<std::string>{});
}

TEST(EnglishCaptions, WordsDrawnOverPicturesAreEnglishButChannelNamesStay) {
  EXPECT_EQ(FormatPaneCaption(3, false), "CH 3 No signal");
  EXPECT_EQ(FormatPaneCaption(12, true), "CH 12");
  EXPECT_EQ(NoSignalWord(), "No signal");
  EXPECT_EQ(BufferingWord(), "Buffering");
  EXPECT_EQ(FormatSingleCaption(2, 25, 1200), "CH 2 25fps 01200Bps");
  EXPECT_EQ(FormatPlaybackEndCaption(5), "CH 5 end of playback");
}

TEST(EnglishMessages, FolderAndRepairLinesAreEnglishAroundTheirNames) {
  const std::string missing = zarvion::testing::TestHome() + "/no such folder";
  EXPECT_EQ(FolderProblem(missing, true), QString("The recording folder does not exist:"));
  EXPECT_EQ(FolderProblem(missing, false), QString("The snapshot folder does not exist:"));
  RecordingRepairNote note;
  note.kind = RecordingRepairNote::Kind::kFinished;
  note.repaired = 2;
  note.unrepaired = 1;
  EXPECT_EQ(RepairStatusText(note), QString("Recordings checked: 2 repaired, 1 left as they were"));
}

}  // namespace
}  // namespace zarvion::viewer
