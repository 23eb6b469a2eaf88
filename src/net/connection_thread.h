// The control's one worker thread: it owns the TCP connection to the
// recorder. It waits for a connect request, connects, runs the session
// start and then dispatches every message that arrives; each quiet 100 ms
// it paces the playback and redraws.
//
// A failed connect starts over with a fresh socket that waits for the next
// connect request (a new generation of the thread, with a new dwThreadId,
// inside the same std::thread). Once a session has ended, for whatever
// reason, the thread is over for good.
//
// The thread touches no widget (obj.ui) and no decoder or surface except
// through obj.video; either may be null.
#pragma once

#include <atomic>
#include <thread>

#include "net/control_object.h"

namespace zarvion {

class ConnectionThread {
 public:
  explicit ConnectionThread(ControlObject& obj) : obj_(obj) {}
  // Stops (sets hStopEvent) a thread that is still running, and joins it.
  ~ConnectionThread();
  ConnectionThread(const ConnectionThread&) = delete;
  ConnectionThread& operator=(const ConnectionThread&) = delete;

  // Starts the thread. False when it is already running or the control's
  // events do not exist (see EnsureEvents).
  bool Start();
  // Waits for the thread to end. Set hStopEvent first: every wait of the
  // thread watches it, so the join then takes at most a few milliseconds.
  void Join();
  bool Joinable() const { return thread_.joinable(); }

 private:
  void Run();

  ControlObject& obj_;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

}  // namespace zarvion
