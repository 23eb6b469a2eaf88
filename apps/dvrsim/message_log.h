// Every request the simulated recorder received, in arrival order: kept in
// memory for whoever drives the server in-process and, when a file is
// given, written there as one JSON line each.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "dvrsim/dvrsim.h"

namespace zarvion::dvrsim {

class MessageLog {
 public:
  MessageLog() = default;
  ~MessageLog();  // CloseFile()
  MessageLog(const MessageLog&) = delete;
  MessageLog& operator=(const MessageLog&) = delete;

  // Truncates or creates `path`; false with the reason in *error.
  bool OpenFile(const std::string& path, std::string* error);
  // The JSON lines' "t" counts the seconds since `start`.
  void CountFrom(std::chrono::steady_clock::time_point start);
  // The messages already logged stay readable.
  void CloseFile();

  void Record(LoggedMessage m);
  std::vector<LoggedMessage> Messages() const;
  // True once a matching message is in the log (including ones already there).
  bool WaitFor(const std::function<bool(const LoggedMessage&)>& match, int timeoutMs) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LoggedMessage> messages_;
  FILE* file_ = nullptr;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace zarvion::dvrsim
