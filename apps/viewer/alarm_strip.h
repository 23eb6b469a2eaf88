// The strip across the top of the window's middle while alarms wait to be
// acknowledged: the latest one (recorder, camera, what happened), how many
// there are, and "确认" for the one it names; a click on its words asks for
// that alarm's recorder. It takes a row of its own above the tabs, in full
// screen too, so it hides no picture or caption.
#pragma once

#include <QFrame>

class QLabel;
class QPushButton;

namespace zarvion::viewer {

class AlarmStrip : public QFrame {
  Q_OBJECT

 public:
  static constexpr int kHeight = 30;

  explicit AlarmStrip(QWidget* parent);

  // Shows `text` about the latest alarm and the count of alarms waiting.
  void Show(const QString& text, int count);

  QLabel* Text() const { return text_; }
  QPushButton* AcknowledgeButton() const { return acknowledge_; }

 signals:
  void AcknowledgeClicked();
  // The words were clicked.
  void TextClicked();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* text_;
  QPushButton* acknowledge_;
};

}  // namespace zarvion::viewer
