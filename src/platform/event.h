// Manual-reset event that can be waited on together with other events and a
// socket's readiness. Backed by an eventfd, so it is pollable.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "platform/unique_fd.h"

namespace zarvion {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
 public:
  Event();  // non-signalled
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Valid() const { return fd_.Valid(); }
  void Set();
  void Reset();
  bool IsSet() const;
  // Readable while the event is set.
  int Fd() const { return fd_.Get(); }

  // Orders memory: what a thread wrote before Set is visible to a thread
  // that has seen the event set (IsSet, or WaitAny reporting it). The
  // descriptor alone gives that in practice, but not in the language's
  // memory model.
  void Acquire() const { (void)sets_.load(std::memory_order_acquire); }

 private:
  UniqueFd fd_;
  mutable std::atomic<uint64_t> sets_{0};
};

// What WaitAny reports: the index of the first ready entry (events in the
// order given, then the socket as index events.size()), or one of these.
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;

// Waits until one of `events` is set or, when socketFd >= 0, the socket is
// ready for `socketEvents` (poll flags; hang-up and error count as ready).
// A null entry in `events` is never ready.
int WaitAny(std::initializer_list<const Event*> events, uint32_t timeoutMs, int socketFd = -1,
            short socketEvents = 0);

}  // namespace zarvion
