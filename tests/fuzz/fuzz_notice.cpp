// Fuzz target: a recorder's notice as the connection thread takes it (GBK
// bytes up to the first NUL, at most 1024), shown in the real notice box on
// the offscreen platform and painted. Whatever the bytes, the box holds only
// characters (no table, picture or link), shows the text itself, and stays
// within the screen; `-timeout` bounds the time one notice may take.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <QApplication>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFrame>

#include "platform/code_page.h"
#include "window/notice_box.h"

using namespace zarvion;

namespace {

QApplication* app = nullptr;
NoticeBox* box = nullptr;

bool OnlyCharacters(const QTextDocument& doc) {
  if (!doc.rootFrame()->childFrames().isEmpty()) return false;
  for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat format = it.fragment().charFormat();
      if (format.isImageFormat() || format.isAnchor()) return false;
    }
  }
  return true;
}

// The text as a plain-text view gives it back: line and paragraph breaks
// as line ends, no-break spaces as spaces.
QString AsShown(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  for (QChar& c : text) {
    if (c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator) c = u'\n';
    if (c == QChar::Nbsp) c = u' ';
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  app = new QApplication(*argc, *argv);
  box = new NoticeBox(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t length = strnlen(reinterpret_cast<const char*>(data), std::min<size_t>(size, 1024));
  const QString text = QString::fromStdString(
      GbkToUtf8(std::string_view(reinterpret_cast<const char*>(data), length)));
  box->SetNotice(QStringLiteral("Zarvion 信息 — 127.0.0.1:9000"), text);
  box->show();
  box->grab();
  QCoreApplication::processEvents();
  if (!OnlyCharacters(*box->TextView()->document())) std::abort();
  if (AsShown(box->Text()) != AsShown(text)) std::abort();
  const QRect screen = box->screen()->availableGeometry();
  if (!screen.contains(box->frameGeometry())) std::abort();
  return 0;
}
