#include "window/gui_calls.h"

#include <chrono>

#include <QMetaObject>
#include <QThread>

#include "platform/event.h"

namespace zarvion {

struct GuiCalls::Pending {
  enum class State { kQueued, kRunning, kDone, kAbandoned };
  std::function<void()> fn;
  State state = State::kQueued;
  std::condition_variable changed;
};

GuiCalls::GuiCalls(QObject* context) : context_(context) {}

GuiCalls::~GuiCalls() {
  Shutdown();
}

bool GuiCalls::Call(std::function<void()> fn, const Event* stop) {
  if (context_ && QThread::currentThread() == context_->thread()) {
    fn();
    return true;
  }
  auto pending = std::make_shared<Pending>();
  pending->fn = std::move(fn);
  std::unique_lock<std::mutex> hold(lock_);
  if (shutdown_) return false;
  queue_.push_back(pending);
  Schedule();
  // The stop event is not a condition of this lock, so it is looked at on a
  // short period; the call itself wakes the waiter at once.
  while (pending->state != Pending::State::kDone) {
    if (pending->state == Pending::State::kQueued && (shutdown_ || (stop && stop->IsSet()))) {
      pending->state = Pending::State::kAbandoned;
      return false;
    }
    if (pending->state == Pending::State::kAbandoned) return false;
    pending->changed.wait_for(hold, std::chrono::milliseconds(10));
  }
  return true;
}

void GuiCalls::Schedule() {
  if (scheduled_ || !context_) return;
  scheduled_ = true;
  QMetaObject::invokeMethod(
      context_, [this] { Drain(); }, Qt::QueuedConnection);
}

void GuiCalls::Drain() {
  std::unique_lock<std::mutex> hold(lock_);
  scheduled_ = false;
  while (!queue_.empty()) {
    auto pending = queue_.front();
    queue_.pop_front();
    if (pending->state != Pending::State::kQueued) continue;
    pending->state = Pending::State::kRunning;
    hold.unlock();
    pending->fn();
    hold.lock();
    pending->state = Pending::State::kDone;
    pending->changed.notify_all();
  }
}

void GuiCalls::Shutdown() {
  std::lock_guard<std::mutex> hold(lock_);
  shutdown_ = true;
  for (auto& pending : queue_) {
    if (pending->state == Pending::State::kQueued) pending->state = Pending::State::kAbandoned;
    pending->changed.notify_all();
  }
  queue_.clear();
}

}  // namespace zarvion
