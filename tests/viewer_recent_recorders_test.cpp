// The recorders the viewer remembers in the per-user hive.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

TEST_F(ViewerTest, RemembersTheLastTenMostRecentFirstAndALoginOnlyWhenAsked) {
  for (int i = 1; i <= 12; ++i) {
    Recorder r;
    r.host = "10.0.0." + std::to_string(i);
    r.port = 9000;
    r.login = "secret" + std::to_string(i);
    r.rememberLogin = i == 11;
    ASSERT_TRUE(RememberRecorder(r));
  }
  Recorder again;
  again.host = "10.0.0.5";
  again.port = 9000;
  ASSERT_TRUE(RememberRecorder(again));
  const std::vector<Recorder> recent = LoadRecent();
  ASSERT_EQ(recent.size(), kMaxRecent);
  EXPECT_EQ(recent[0].host, "10.0.0.5");
  EXPECT_EQ(recent[1].host, "10.0.0.12");
  EXPECT_EQ(recent[2].host, "10.0.0.11");
  EXPECT_TRUE(recent[2].rememberLogin);
  EXPECT_EQ(recent[2].login, "secret11");
  EXPECT_FALSE(recent[1].rememberLogin);
  EXPECT_TRUE(recent[1].login.empty());
  EXPECT_EQ(recent[9].host, "10.0.0.3");  // 1 and 2 dropped, 5 moved up

  const std::string hive = ReadFile(HiveFilePath(Hive::kCurrentUser));
  EXPECT_NE(hive.find("secret11"), std::string::npos);
  EXPECT_EQ(hive.find("secret12"), std::string::npos);
  EXPECT_EQ(hive.find("secret1\""), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(HiveFilePath(Hive::kCurrentUser).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace zarvion::viewer
