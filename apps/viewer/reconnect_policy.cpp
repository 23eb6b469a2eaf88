#include "viewer/reconnect_policy.h"

#include <algorithm>

namespace zarvion::viewer {

ReconnectPolicy::Delay ReconnectPolicy::Take() {
  const Delay delay = next_;
  next_ = std::min(next_ * 2, max_);
  return delay;
}

ReconnectPolicy::Delay ReconnectPolicy::AfterFailedConnect() {
  refusals_ = 0;
  return Take();
}

ReconnectPolicy::Delay ReconnectPolicy::AfterSessionEnded(
    std::chrono::steady_clock::duration lasted, bool showedPictures) {
  refusals_ = 0;
  if (showedPictures || lasted >= kStableSession) ResetDelay();
  return Take();
}

std::optional<ReconnectPolicy::Delay> ReconnectPolicy::AfterLoginRefused() {
  if (++refusals_ >= kRefusalsBeforeStop) return std::nullopt;
  return Take();
}

}  // namespace zarvion::viewer
