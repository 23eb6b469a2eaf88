#include "viewer/reconnect_policy.h"

#include <algorithm>

namespace zarvion::viewer {

int ReconnectPolicy::Take() {
  const int delay = next_;
  next_ = std::min(next_ * 2, kMaxDelaySeconds);
  return delay;
}

int ReconnectPolicy::AfterFailedConnect() {
  return Take();
}

int ReconnectPolicy::AfterSessionEnded(std::chrono::steady_clock::duration lasted) {
  if (lasted >= kStableSession) Reset();
  return Take();
}

}  // namespace zarvion::viewer
