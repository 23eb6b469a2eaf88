// The reconnect delays of the viewer.
#include <gtest/gtest.h>

#include <vector>

#include "viewer/reconnect_policy.h"

namespace zarvion::viewer {
namespace {

using std::chrono::seconds;

int Seconds(ReconnectPolicy::Delay d) {
  return static_cast<int>(std::chrono::duration_cast<seconds>(d).count());
}

TEST(ReconnectPolicy, DoublesUpToThirtyAndStartsOverAfterAStableSession) {
  ReconnectPolicy p;
  std::vector<int> delays;
  for (int i = 0; i < 8; ++i) delays.push_back(Seconds(p.AfterFailedConnect()));
  EXPECT_EQ(delays, (std::vector<int>{1, 2, 4, 8, 16, 30, 30, 30}));
  // A short session without pictures is part of the same outage.
  EXPECT_EQ(Seconds(p.AfterSessionEnded(seconds(5), false)), 30);
  EXPECT_EQ(Seconds(p.AfterSessionEnded(seconds(30), false)), 1);
  EXPECT_EQ(Seconds(p.AfterFailedConnect()), 2);
  // Any session that showed pictures starts over, however short.
  EXPECT_EQ(Seconds(p.AfterSessionEnded(seconds(1), true)), 1);
  EXPECT_EQ(Seconds(p.AfterFailedConnect()), 2);
  p.Reset();
  EXPECT_EQ(Seconds(p.AfterFailedConnect()), 1);
}

TEST(ReconnectPolicy, StopsAfterThreeRefusalsInARowUntilReset) {
  ReconnectPolicy p;
  EXPECT_EQ(p.AfterLoginRefused(), seconds(1));
  EXPECT_EQ(p.AfterLoginRefused(), seconds(2));
  EXPECT_EQ(p.AfterLoginRefused(), std::nullopt);
  // A try now with the same login: refused again, no more tries.
  p.ResetDelay();
  EXPECT_EQ(p.AfterLoginRefused(), std::nullopt);
  // Anything else in between breaks the row.
  p.Reset();
  p.AfterLoginRefused();
  p.AfterLoginRefused();
  p.AfterFailedConnect();
  EXPECT_NE(p.AfterLoginRefused(), std::nullopt);
}

}  // namespace
}  // namespace zarvion::viewer
