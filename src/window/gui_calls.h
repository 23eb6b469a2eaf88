// Runs calls from the connection thread on the GUI thread.
//
// Call() waits for the call to finish, as the thread's window calls always
// did, but gives up when the stop event is set, so a GUI thread that sets
// the stop event and then joins the thread never deadlocks with it. A call
// given up before it started is never run; one that already runs is waited
// for (it only touches widgets and cannot block).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include <QObject>
#include <QPointer>

namespace zarvion {

class Event;

class GuiCalls {
 public:
  // Calls run on the thread of `context`, from its event loop.
  explicit GuiCalls(QObject* context);
  ~GuiCalls();
  GuiCalls(const GuiCalls&) = delete;
  GuiCalls& operator=(const GuiCalls&) = delete;

  // Runs `fn` on the GUI thread and waits for it. On the GUI thread itself it
  // runs at once. False when the wait was given up because `stop` was set
  // (or the queue is shutting down) before the call started.
  bool Call(std::function<void()> fn, const Event* stop);
  // Gives up every queued call and refuses new ones.
  void Shutdown();

 private:
  struct Pending;
  void Schedule();
  // GUI thread: runs whatever is queued now.
  void Drain();

  QPointer<QObject> context_;
  std::mutex lock_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool scheduled_ = false;
  bool shutdown_ = false;
};

}  // namespace zarvion
