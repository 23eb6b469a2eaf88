// The box that shows a recorder's notice. The recorder is not trusted: its
// words are shown as the characters they are (no markup, pictures or links),
// wrapped, and the box stays within the screen whatever the text.
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QTextEdit;
class QDialogButtonBox;

namespace zarvion {

class NoticeBox : public QDialog {
  Q_OBJECT

 public:
  explicit NoticeBox(QWidget* parent = nullptr);

  // Shows `text` under the title `title`, replacing what was shown, and
  // fits the box to it within the screen it is on.
  void SetNotice(const QString& title, const QString& text);
  QString Text() const;
  // The read-only view of the text (for tests).
  QTextEdit* TextView() const { return text_; }

 private:
  void FitToScreen();

  QLabel* icon_;
  QTextEdit* text_;
  QDialogButtonBox* buttons_;
  bool placed_ = false;
};

}  // namespace zarvion
