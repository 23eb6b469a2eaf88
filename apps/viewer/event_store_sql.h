// What the event store's two files share: the clock, the columns of a row
// and the statements the writer thread prepares once.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>

#include <QString>

#include "viewer/event_log.h"

namespace zarvion::viewer::event_sql {

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A text column as UTF-8; a NULL reads as an empty text.
inline QString Text(sqlite3_stmt* s, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return text ? QString::fromUtf8(text, sqlite3_column_bytes(s, column)) : QString();
}

inline constexpr const char* kColumns =
    "id, time, first_time, recorder, channel, kind, detail, count, acknowledged, end_time, peak,"
    " thumbnail, recording";

// A statement prepared once and reset after each use.
class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(s_); }

  bool Prepare(sqlite3* db, const char* sql) {
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s_, nullptr) == SQLITE_OK;
  }
  sqlite3_stmt* Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
    return s_;
  }

 private:
  sqlite3_stmt* s_ = nullptr;
};

}  // namespace zarvion::viewer::event_sql

namespace zarvion::viewer {

struct EventStore::Statements {
  event_sql::Statement insert, update, complete, latest, acknowledge, acknowledgeAll, countAlarms;
};

}  // namespace zarvion::viewer
