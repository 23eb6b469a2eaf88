// The strip across the top of the video area while alarms wait to be
// acknowledged: the latest one (recorder, camera, what happened), how many
// there are, and "确认" for the one it names; a click on its words asks for
// that alarm's recorder. It lies over whatever tab is shown, in full screen
// too, above the controls' native video windows.
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
  // Over the top of `area` (in the parent's coordinates), above its
  // siblings and their native windows.
  void PlaceOver(const QRect& area);

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
