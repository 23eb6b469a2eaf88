#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace zarvion {

Event::Event() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

// The eventfd counter stays non-zero, and the descriptor readable, from Set
// until Reset drains it; a second Set only adds to the counter.
void Event::Set() {
  if (!fd_.Valid()) return;
  sets_.fetch_add(1, std::memory_order_acq_rel);
  const uint64_t one = 1;
  while (write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::Reset() {
  if (!fd_.Valid()) return;
  uint64_t value;
  while (read(fd_.Get(), &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool Event::IsSet() const {
  if (!fd_.Valid()) return false;
  pollfd p{fd_.Get(), POLLIN, 0};
  const bool set = poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
  if (set) Acquire();
  return set;
}

int WaitAny(std::initializer_list<const Event*> events, uint32_t timeoutMs, int socketFd,
            short socketEvents) {
  // Few entries: a small fixed array avoids allocating on every wait.
  constexpr size_t kMaxEntries = 8;
  if (events.size() >= kMaxEntries) return kWaitFailed;
  pollfd fds[kMaxEntries];
  nfds_t n = 0;
  const Event* entries[kMaxEntries] = {};
  for (const Event* e : events) {
    // A missing or broken event gets fd -1, which poll skips.
    entries[n] = e;
    fds[n++] = pollfd{(e && e->Valid()) ? e->Fd() : -1, POLLIN, 0};
  }
  const bool withSocket = socketFd >= 0;
  if (withSocket) fds[n++] = pollfd{socketFd, socketEvents, 0};

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs != kInfinite) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    const int r = poll(fds, n, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    if (r == 0) return kWaitTimeout;
    // The lowest index wins, so a stop event listed first takes precedence
    // over anything that became ready at the same time.
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR)) {
        if (entries[i]) entries[i]->Acquire();
        return static_cast<int>(i);
      }
      if (fds[i].revents & POLLNVAL) return kWaitFailed;
    }
  }
}

}  // namespace zarvion
