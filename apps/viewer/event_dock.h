// "事件": the event list docked in the main window. The newest events
// first, unacknowledged alarms in bold with a red marker; a filter by
// recorder and one by kind; "确认" for the selected rows and "全部确认". A
// double-click on a row asks for that recorder (and camera). A row with a
// recording (motion) offers "打开录像" and "打开所在文件夹" on a right-click. It shows what
// the store kept at start and grows with every batch the store writes.
#pragma once

#include <QDockWidget>
#include <QSet>

#include "viewer/event_log.h"
#include "viewer/event_model.h"

class QAction;
class QComboBox;
class QMenu;
class QPushButton;
class QTableView;

namespace zarvion::viewer {

class EventDock : public QDockWidget {
  Q_OBJECT

 public:
  // `mute` (the alarm sound's switch) gets a button of its own; may be null.
  EventDock(EventStore& store, EventModel::Names names, QAction* mute, QWidget* parent = nullptr);

  // Reads the rows that pass the filters from the store again.
  void Reload();
  // The names of recorders or cameras may have changed.
  void NamesChanged();

  EventModel* Model() const { return model_; }
  QTableView* View() const { return view_; }
  QComboBox* RecorderFilter() const { return recorders_; }
  QComboBox* KindFilter() const { return kinds_; }
  QPushButton* AcknowledgeButton() const { return acknowledge_; }
  QPushButton* AcknowledgeAllButton() const { return acknowledgeAll_; }
  // The right-click menu of a row, as it stands for the row last asked
  // about, and its two actions.
  QAction* OpenRecordingAction() const { return openRecording_; }
  QAction* OpenFolderAction() const { return openFolder_; }
  // Prepares the row menu for `row` (its actions enabled when it has a
  // recording); what a right-click on it does before the menu shows.
  void PrepareRowMenu(int row);

 signals:
  // The operator asked to see where `event` happened.
  void Chosen(const zarvion::viewer::Event& event);
  // The operator asked to play `event`'s recording (event.recording).
  void OpenRecordingRequested(const zarvion::viewer::Event& event);

 private:
  void Stored(const QList<Event>& rows);
  void FilterChosen();
  void AcknowledgeSelected();
  void AddRecorder(const QString& recorder);

  EventStore& store_;
  EventModel::Names names_;
  EventModel* model_;
  QTableView* view_;
  QComboBox* recorders_;
  QComboBox* kinds_;
  QPushButton* acknowledge_;
  QPushButton* acknowledgeAll_;
  QSet<QString> knownRecorders_;
  QMenu* rowMenu_;
  QAction* openRecording_;
  QAction* openFolder_;
  Event menuEvent_;  // the row the menu is for
};

}  // namespace zarvion::viewer
