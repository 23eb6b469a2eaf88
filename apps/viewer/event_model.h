// The rows of the event list: the newest events first, by their latest
// occurrence (as the store's query orders them), at most kMaxRows of them,
// each as the store last wrote it. New rows go on top and the oldest fall
// off the bottom; a row written late (a motion, when it ends) goes in where
// its time puts it. A row the store updated changes where it stands (an
// acknowledgement, the end of a motion), unless its latest occurrence moved
// (a repeat counted into it): then it goes on top. Only rows that pass the
// filter are kept. In time order, each change is one insertion, one removal
// and one change of rows, however many events a batch of the store brings.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <unordered_map>

#include <QAbstractTableModel>

#include "viewer/event_log.h"

namespace zarvion::viewer {

class EventModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kTime, kRecorder, kCamera, kWhat, kColumnCount };
  static constexpr int kMaxRows = 1000;

  // How the viewer names a recorder (given as the events keep it) and a
  // camera of it; unset, the address and "CH n".
  struct Names {
    std::function<QString(const QString& recorder)> recorder;
    std::function<QString(const QString& recorder, int channel)> camera;
  };

  explicit EventModel(QObject* parent = nullptr);

  void SetNames(Names names) { names_ = std::move(names); }
  // The filter rows must pass (its limit is ignored: kMaxRows).
  void SetFilter(const EventFilter& filter) { filter_ = filter; }
  const EventFilter& Filter() const { return filter_; }
  // Replaces every row with `newestFirst` (as a query of the store gives
  // them).
  void Reset(const QList<Event>& newestFirst);
  // Rows a batch of the store wrote, in the order they were first touched.
  void Add(const QList<Event>& rows);
  // The store acknowledged row `id` (0: every row) at `timeMs`.
  void MarkAcknowledged(int64_t id, int64_t timeMs);
  // The names of recorders or cameras may have changed.
  void NamesChanged();

  const Event& At(int row) const { return rows_[rows_.size() - 1 - static_cast<size_t>(row)]; }
  bool Passes(const Event& e) const;
  // The words of the last column: what happened, its detail and its count.
  static QString WhatText(const Event& e);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  int RowOfSequence(uint64_t sequence) const;
  void Trim();
  // The store's order, oldest first: by latest occurrence, then id.
  static bool Before(const Event& a, const Event& b);
  // Where in rows_ `e` goes.
  size_t PlaceFor(const Event& e) const;
  // Sequence numbers again after a row went in or moved between others.
  void Renumber();

  Names names_;
  EventFilter filter_;
  // Oldest first: row r of the view is rows_[size - 1 - r]. Each row has a
  // sequence number, front_ + its place, so an id finds its row in O(1)
  // however many fell off the front.
  std::deque<Event> rows_;
  uint64_t front_ = 0;
  std::unordered_map<int64_t, uint64_t> sequenceOf_;  // by id
};

}  // namespace zarvion::viewer
