// What the event store's two files share: the clock, the columns of a row
// and the statements the writer thread prepares once.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>

#include <QString>

#include "viewer/event_log.h"
#include "viewer/sqlite_helpers.h"

namespace zarvion::viewer::event_sql {

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

using sql::Text;

inline constexpr const char* kColumns =
    "id, time, first_time, recorder, channel, kind, detail, count, acknowledged, end_time, peak,"
    " thumbnail, recording";

using sql::Statement;

}  // namespace zarvion::viewer::event_sql

namespace zarvion::viewer {

struct EventStore::Statements {
  event_sql::Statement insert, update, complete, latest, acknowledge, acknowledgeAll, countAlarms;
};

}  // namespace zarvion::viewer
