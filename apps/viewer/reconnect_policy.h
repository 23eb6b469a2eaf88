// How long the viewer waits before it tries a recorder again: 1, 2, 4, ...
// seconds up to 30 after each failure, and back to 1 once a session has
// lasted 30 seconds (a recorder that stays up for a while and then goes
// away is a fresh outage, not the next step of the old one).
#pragma once

#include <chrono>

namespace zarvion::viewer {

class ReconnectPolicy {
 public:
  static constexpr int kFirstDelaySeconds = 1;
  static constexpr int kMaxDelaySeconds = 30;
  static constexpr std::chrono::seconds kStableSession{30};

  // The wait after a connect that failed.
  int AfterFailedConnect();
  // The wait after a session that lasted `lasted` and then ended.
  int AfterSessionEnded(std::chrono::steady_clock::duration lasted);
  // Starts over at the first delay (the user chose to connect).
  void Reset() { next_ = kFirstDelaySeconds; }

 private:
  int Take();
  int next_ = kFirstDelaySeconds;
};

}  // namespace zarvion::viewer
