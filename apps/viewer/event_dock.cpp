#include "viewer/event_dock.h"

#include <set>

#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace zarvion::viewer {

EventDock::EventDock(EventStore& store, EventModel::Names names, QAction* mute, QWidget* parent)
    : QDockWidget(tr("事件"), parent), store_(store), names_(std::move(names)) {
  setObjectName(QStringLiteral("events"));
  auto* body = new QWidget(this);
  auto* column = new QVBoxLayout(body);
  column->setContentsMargins(4, 4, 4, 4);
  auto* bar = new QHBoxLayout;
  column->addLayout(bar);

  recorders_ = new QComboBox(body);
  recorders_->addItem(tr("全部"));
  // Sized once, not to its items: measuring every name as recorders are
  // added would grow with their number.
  recorders_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  recorders_->setMinimumContentsLength(22);
  kinds_ = new QComboBox(body);
  kinds_->addItem(tr("全部"));
  for (EventKind kind : AllEventKinds())
    kinds_->addItem(EventKindText(kind), static_cast<int>(kind));
  bar->addWidget(new QLabel(tr("录像机："), body));
  bar->addWidget(recorders_);
  bar->addWidget(new QLabel(tr("类型："), body));
  bar->addWidget(kinds_);
  bar->addStretch(1);
  acknowledge_ = new QPushButton(tr("确认"), body);
  acknowledgeAll_ = new QPushButton(tr("全部确认"), body);
  bar->addWidget(acknowledge_);
  bar->addWidget(acknowledgeAll_);
  if (mute) {
    auto* muteButton = new QToolButton(body);
    muteButton->setDefaultAction(mute);
    bar->addWidget(muteButton);
  }

  model_ = new EventModel(this);
  model_->SetNames(names_);
  view_ = new QTableView(body);
  view_->setModel(model_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setWordWrap(false);
  view_->setCornerButtonEnabled(false);
  // Fixed row heights and column widths: nothing measures the rows' text,
  // so a thousand events a second cost only the rows on screen.
  view_->verticalHeader()->hide();
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 6);
  view_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  view_->horizontalHeader()->setStretchLastSection(true);
  const int digit = view_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  view_->setColumnWidth(EventModel::kTime, digit * 19 + 40);
  view_->setColumnWidth(EventModel::kRecorder, digit * 22);
  view_->setColumnWidth(EventModel::kCamera, digit * 10);
  column->addWidget(view_);
  setWidget(body);

  connect(&store_, &EventStore::Stored, this, &EventDock::Stored);
  connect(&store_, &EventStore::Acknowledged, model_, &EventModel::MarkAcknowledged);
  connect(recorders_, &QComboBox::currentIndexChanged, this, &EventDock::FilterChosen);
  connect(kinds_, &QComboBox::currentIndexChanged, this, &EventDock::FilterChosen);
  connect(acknowledge_, &QPushButton::clicked, this, &EventDock::AcknowledgeSelected);
  connect(acknowledgeAll_, &QPushButton::clicked, &store_, &EventStore::AcknowledgeAll);
  connect(view_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) emit Chosen(model_->At(index.row()));
  });
  rowMenu_ = new QMenu(this);
  openRecording_ = rowMenu_->addAction(tr("打开录像"), this,
                                       [this] { emit OpenRecordingRequested(menuEvent_); });
  openFolder_ = rowMenu_->addAction(tr("打开所在文件夹"), this, [this] {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(menuEvent_.recording).absolutePath()));
  });
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = view_->indexAt(at);
    if (!index.isValid()) return;
    PrepareRowMenu(index.row());
    rowMenu_->popup(view_->viewport()->mapToGlobal(at));
  });
  Reload();
}

void EventDock::PrepareRowMenu(int row) {
  menuEvent_ = row >= 0 && row < model_->rowCount() ? model_->At(row) : Event{};
  const bool has = !menuEvent_.recording.isEmpty();
  openRecording_->setEnabled(has);
  openFolder_->setEnabled(has);
}

void EventDock::Reload() {
  EventFilter filter = model_->Filter();
  filter.limit = EventModel::kMaxRows;
  model_->Reset(store_.Query(filter));
  for (int row = 0; row < model_->rowCount(); ++row) AddRecorder(model_->At(row).recorder);
}

void EventDock::Stored(const QList<Event>& rows) {
  for (const Event& e : rows) AddRecorder(e.recorder);
  model_->Add(rows);
}

void EventDock::AddRecorder(const QString& recorder) {
  if (recorder.isEmpty() || knownRecorders_.contains(recorder)) return;
  knownRecorders_.insert(recorder);
  recorders_->addItem(names_.recorder ? names_.recorder(recorder) : recorder, recorder);
}

void EventDock::NamesChanged() {
  model_->NamesChanged();
  if (!names_.recorder) return;
  for (int i = 1; i < recorders_->count(); ++i) {
    recorders_->setItemText(i, names_.recorder(recorders_->itemData(i).toString()));
  }
}

void EventDock::FilterChosen() {
  EventFilter filter;
  if (recorders_->currentIndex() > 0) filter.recorder = recorders_->currentData().toString();
  if (kinds_->currentIndex() > 0) {
    filter.kinds.push_back(static_cast<EventKind>(kinds_->currentData().toInt()));
  }
  model_->SetFilter(filter);
  Reload();
}

void EventDock::AcknowledgeSelected() {
  std::set<int64_t> ids;
  for (const QModelIndex& index : view_->selectionModel()->selectedRows()) {
    const Event& e = model_->At(index.row());
    if (!e.Acknowledged()) ids.insert(e.id);
  }
  for (int64_t id : ids) store_.Acknowledge(id);
}

}  // namespace zarvion::viewer
