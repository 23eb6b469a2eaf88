// Where the wall benchmark's latency ends: when the X server has drawn a
// paint, not when the paint's requests were queued.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

struct xcb_connection_t;

namespace zarvion::wallbench {

// After each paint, a round-trip request on the window's own connection:
// the server answers it only once it has handled every request sent before,
// the paint's picture included. A thread of its own waits for the answers,
// so the GUI thread never waits for the server; the CPU this takes (the
// requests sent, the waiting thread) is counted apart, to be taken out of
// the viewer's.
class DrawnFence {
 public:
  // `drawn(mark, ns)`: the paint handed over with `mark` was drawn at `ns`
  // on the steady clock; called on the fence's thread, in order.
  DrawnFence(xcb_connection_t* c, std::function<void(uint64_t mark, int64_t ns)> drawn);
  ~DrawnFence();
  DrawnFence(const DrawnFence&) = delete;
  DrawnFence& operator=(const DrawnFence&) = delete;

  // The window's connection where the application is on an X server; null
  // otherwise.
  static xcb_connection_t* ApplicationConnection();

  // Any thread, once the paint's (or the present's) requests have gone to
  // the connection.
  void After(uint64_t mark);
  // CPU seconds spent on the fence so far, both threads.
  double CpuSeconds() const;

 private:
  void Wait();

  xcb_connection_t* c_;
  std::function<void(uint64_t, int64_t)> drawn_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::pair<unsigned int, uint64_t>> pending_;  // sequence, mark
  bool stop_ = false;
  double sendCpu_ = 0;  // under m_
  std::thread thread_;
  clockid_t threadClock_{};
};

}  // namespace zarvion::wallbench
