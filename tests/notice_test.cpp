// A recorder's notices in the real box, sent by the simulated recorder over
// loopback: whatever markup the recorder writes, the operator sees the
// characters themselves, promptly, in a box of ordinary size within the
// screen that names the recorder.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QScrollBar>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFrame>

#include "dvrsim/dvrsim.h"
#include "shell/control_host.h"
#include "shell/zarvinet.h"
#include "ui_test_util.h"
#include "window/control_window.h"
#include "window/notice_box.h"

namespace zarvion {
namespace {

using testing::Pump;
using testing::WaitUntil;

constexpr int kWaitMs = 30000;

// The probe's texts: each is harmful or misleading when read as markup.
std::string NestedTables(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "<table><tr><td>";
  return s + "x";
}

std::vector<std::string> HostileTexts() {
  return {
      "<img src=\"/dev/zero\">",
      NestedTables(66),
      "<h1 style=\"color:red\">录像机已被接管</h1><font color=\"#00ff00\" size=\"7\">请立即</font>",
      "<img src=\"" ZARVION_SOURCE_DIR "/src/resources/toolbox.bmp\">",
      "<img width=\"20000\" height=\"20000\" src=\"" ZARVION_SOURCE_DIR
      "/src/resources/toolbox.bmp\">",
      "<a href=\"file:///etc/passwd\">Click here to update</a>",
      std::string(1023, 'W'),
      [] {
        std::string lines = "行";
        for (int i = 0; i < 300; ++i) lines += "\n行";
        return lines;
      }(),
  };
}

std::vector<NoticeBox*> ShownBoxes() {
  std::vector<NoticeBox*> shown;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<NoticeBox*>(top); box && box->isVisible()) shown.push_back(box);
  }
  return shown;
}

// True when the document holds nothing but characters: no table or other
// frame, no picture, no link, no heading or font of another size.
bool OnlyCharacters(const QTextDocument& doc) {
  if (!doc.rootFrame()->childFrames().isEmpty()) return false;
  for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
    if (block.blockFormat().headingLevel() != 0) return false;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat format = it.fragment().charFormat();
      if (format.isImageFormat() || format.isAnchor() || format.hasProperty(QTextFormat::FontSizeAdjustment) ||
          format.hasProperty(QTextFormat::ForegroundBrush)) {
        return false;
      }
    }
  }
  return true;
}

class RecorderNotice : public ::testing::Test {
 protected:
  void SetUp() override {
    dvrsim::Options options;
    options.channels = 4;
    options.fps = 5;
    server_ = std::make_unique<dvrsim::Server>(options);
    ASSERT_TRUE(server_->Start()) << server_->Error();
    window_ = CreateControlWindow(control_, nullptr, {});
    window_->resize(644, 506);
    window_->show();
    const std::u16string port = Ascii(std::to_string(server_->Port()));
    control_.ConnectServer(Variant::Bstr(u"127.0.0.1"), Variant::Bstr(port),
                           Variant::Bstr(u"user"));
    ASSERT_TRUE(WaitUntil([&] { return window_->Decoder(0)->bSignal.load() == 1; }, kWaitMs));
  }
  void TearDown() override {
    window_.reset();
    server_.reset();
  }
  static std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

  // Sends `text` and waits until the box shows it; the box, or null.
  NoticeBox* Send(const std::string& text) {
    if (!server_->Command("notice " + text)) return nullptr;
    const QString expected = QString::fromStdString(text);
    NoticeBox* box = nullptr;
    WaitUntil(
        [&] {
          const auto shown = ShownBoxes();
          box = shown.size() == 1 && shown[0]->Text() == expected ? shown[0] : nullptr;
          return box != nullptr;
        },
        kWaitMs);
    return box;
  }

  Zarvinet control_;
  std::unique_ptr<dvrsim::Server> server_;
  std::unique_ptr<ControlWindow> window_;
};

TEST_F(RecorderNotice, MarkupIsShownAsItsCharactersInABoxWithinTheScreen) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  const QString from = QString::fromStdString("127.0.0.1:" + std::to_string(server_->Port()));
  for (const std::string& text : HostileTexts()) {
    SCOPED_TRACE(text.substr(0, 60));
    // Shown within the wait's bound, and painted: nothing is loaded or
    // laid out as markup.
    NoticeBox* box = Send(text);
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->grab().isNull());

    EXPECT_TRUE(OnlyCharacters(*box->TextView()->document()));
    EXPECT_EQ(box->TextView()->document()->toPlainText(), QString::fromStdString(text));
    EXPECT_TRUE(box->windowTitle().endsWith(from)) << box->windowTitle().toStdString();
    // An ordinary box, wholly on the screen, its OK button within reach.
    EXPECT_TRUE(screen.contains(box->frameGeometry()))
        << box->frameGeometry().x() << "," << box->frameGeometry().y() << " "
        << box->frameGeometry().width() << "x" << box->frameGeometry().height() << " on "
        << screen.width() << "x" << screen.height();
    EXPECT_LE(box->height(), screen.height() * 3 / 4);
    auto* ok = box->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(box->rect().contains(QRect(ok->mapTo(box, QPoint(0, 0)), ok->size())));
  }
  // OK closes the box; the next notice opens one again.
  ShownBoxes()[0]->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  ASSERT_TRUE(WaitUntil([] { return ShownBoxes().empty(); }, kWaitMs));
  EXPECT_NE(Send("录像机将在五分钟后重启"), nullptr);
}

TEST_F(RecorderNotice, AShortNoticeKeepsABoxOfOrdinarySizeAndALongOneWraps) {
  NoticeBox* box = Send("维护");
  ASSERT_NE(box, nullptr);
  const QSize small = box->size();
  EXPECT_LT(small.width(), 700);
  EXPECT_LT(small.height(), 300);
  // Words wrap at their boundaries; the view needs no sideways scrolling.
  std::string words;
  while (words.size() < 900) words += "recorder ";
  box = Send(words);
  ASSERT_NE(box, nullptr);
  QTextEdit* view = box->TextView();
  EXPECT_GT(view->document()->size().height(), view->fontMetrics().height() * 3);
  EXPECT_FALSE(view->horizontalScrollBar()->isVisible());
  EXPECT_LE(view->document()->idealWidth(), view->viewport()->width() + 1);
}

}  // namespace
}  // namespace zarvion
