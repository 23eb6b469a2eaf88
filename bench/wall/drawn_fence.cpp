#include "drawn_fence.h"

#include <time.h>

#include <cstdlib>

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#include <QGuiApplication>

#include "measure.h"

namespace zarvion::wallbench {
namespace {

double ClockSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

DrawnFence::DrawnFence(xcb_connection_t* c, std::function<void(uint64_t, int64_t)> drawn)
    : c_(c), drawn_(std::move(drawn)), thread_([this] { Wait(); }) {
  pthread_getcpuclockid(thread_.native_handle(), &threadClock_);
}

DrawnFence::~DrawnFence() {
  {
    std::lock_guard<std::mutex> hold(m_);
    stop_ = true;
  }
  cv_.notify_one();
  thread_.join();
}

xcb_connection_t* DrawnFence::ApplicationConnection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

void DrawnFence::After(uint64_t mark) {
  const double cpu0 = ThreadCpu();
  {
    // Asked and queued in one go, so the answers come in the queue's order
    // whichever thread asks.
    std::lock_guard<std::mutex> hold(m_);
    const unsigned int sequence = xcb_get_input_focus(c_).sequence;
    xcb_flush(c_);
    pending_.emplace_back(sequence, mark);
  }
  cv_.notify_one();
  const double spent = ThreadCpu() - cpu0;
  std::lock_guard<std::mutex> hold(m_);
  sendCpu_ += spent;
}

double DrawnFence::CpuSeconds() const {
  std::lock_guard<std::mutex> hold(m_);
  return sendCpu_ + ClockSeconds(threadClock_);
}

void DrawnFence::Wait() {
  for (;;) {
    std::pair<unsigned int, uint64_t> next;
    {
      std::unique_lock<std::mutex> hold(m_);
      cv_.wait(hold, [&] { return stop_ || !pending_.empty(); });
      if (pending_.empty()) return;
      next = pending_.front();
      pending_.pop_front();
    }
    xcb_generic_error_t* error = nullptr;
    free(xcb_get_input_focus_reply(c_, xcb_get_input_focus_cookie_t{next.first}, &error));
    free(error);
    drawn_(next.second, NowNs());
  }
}

}  // namespace zarvion::wallbench
