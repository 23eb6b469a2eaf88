// The reconnect delays of the viewer.
#include <gtest/gtest.h>

#include <vector>

#include "viewer/reconnect_policy.h"

namespace zarvion::viewer {
namespace {

TEST(ReconnectPolicy, DoublesUpToThirtyAndStartsOverAfterAStableSession) {
  ReconnectPolicy p;
  std::vector<int> delays;
  for (int i = 0; i < 8; ++i) delays.push_back(p.AfterFailedConnect());
  EXPECT_EQ(delays, (std::vector<int>{1, 2, 4, 8, 16, 30, 30, 30}));
  // A short session is part of the same outage.
  EXPECT_EQ(p.AfterSessionEnded(std::chrono::seconds(5)), 30);
  EXPECT_EQ(p.AfterSessionEnded(std::chrono::seconds(30)), 1);
  EXPECT_EQ(p.AfterFailedConnect(), 2);
  p.Reset();
  EXPECT_EQ(p.AfterFailedConnect(), 1);
}

}  // namespace
}  // namespace zarvion::viewer
