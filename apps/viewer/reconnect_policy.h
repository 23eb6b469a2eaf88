// How long the viewer waits before it tries a recorder again: 1, 2, 4, ...
// seconds up to 30 after each failure, and back to 1 once a session has
// shown pictures or lasted 30 seconds (a recorder that was up and then goes
// away is a fresh outage, not the next step of the old one). A recorder
// that refuses the login three times in a row is not tried again by itself:
// the same login would only be refused again.
#pragma once

#include <chrono>
#include <optional>

namespace zarvion::viewer {

class ReconnectPolicy {
 public:
  using Delay = std::chrono::milliseconds;
  static constexpr Delay kFirstDelay{1000};
  static constexpr Delay kMaxDelay{30000};
  static constexpr std::chrono::seconds kStableSession{30};
  static constexpr int kRefusalsBeforeStop = 3;

  // Tests shorten the delays; the doubling and the limits stay.
  explicit ReconnectPolicy(Delay first = kFirstDelay, Delay max = kMaxDelay)
      : first_(first), max_(max), next_(first) {}

  // The wait after a connect that failed.
  Delay AfterFailedConnect();
  // The wait after a session that lasted `lasted` and then ended.
  Delay AfterSessionEnded(std::chrono::steady_clock::duration lasted, bool showedPictures);
  // The wait after the recorder refused the login; none once it has done so
  // kRefusalsBeforeStop times in a row.
  std::optional<Delay> AfterLoginRefused();
  // Starts over at the first delay and forgets the refusals (the user chose
  // to connect, maybe with another login).
  void Reset() {
    ResetDelay();
    refusals_ = 0;
  }
  // Starts over at the first delay; refusals still count (the user asked to
  // try now, with the same login).
  void ResetDelay() { next_ = first_; }

 private:
  Delay Take();
  Delay first_;
  Delay max_;
  Delay next_;
  int refusals_ = 0;
};

}  // namespace zarvion::viewer
