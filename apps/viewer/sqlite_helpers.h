// What the viewer's SQLite databases (the events, the recordings'
// catalogue) share: reading a text column, statements prepared once, and
// bringing a schema up to date step by step under PRAGMA user_version.
#pragma once

#include <sqlite3.h>

#include <string>

#include <QByteArray>
#include <QString>

namespace zarvion::viewer::sql {

// A text column as UTF-8; a NULL reads as an empty text.
inline QString Text(sqlite3_stmt* s, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return text ? QString::fromUtf8(text, sqlite3_column_bytes(s, column)) : QString();
}

inline void BindText(sqlite3_stmt* s, int index, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  sqlite3_bind_text(s, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
}

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
  // Lets go of what the last use read (the database's read lock).
  void Done() { sqlite3_reset(s_); }
  // Finalised, to be prepared again (before the database closes).
  void Reset() {
    sqlite3_finalize(s_);
    s_ = nullptr;
  }

 private:
  sqlite3_stmt* s_ = nullptr;
};

// Runs the steps the database has not had yet, each in a transaction of its
// own with the version it brings; `exec` runs (and reports) one text of SQL.
// A newer program's database (a higher version) is used as it is: its later
// steps only add.
template <typename Exec>
bool Migrate(sqlite3* db, const char* const* steps, int count, Exec&& exec) {
  sqlite3_stmt* s = nullptr;
  int version = 0;
  if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr) != SQLITE_OK) return false;
  if (sqlite3_step(s) == SQLITE_ROW) version = sqlite3_column_int(s, 0);
  sqlite3_finalize(s);
  for (; version < count; ++version) {
    const std::string step = std::string("BEGIN IMMEDIATE;") + steps[version] +
                             "PRAGMA user_version=" + std::to_string(version + 1) + ";COMMIT;";
    if (!exec(step.c_str())) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
  }
  return true;
}

}  // namespace zarvion::viewer::sql
