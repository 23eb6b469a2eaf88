// Random hostile servers, seeded: each session runs to its end against the
// real connection thread, decoders, recorder and renderer, and leaves
// complete recordings behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "fuzz/session_harness.h"

namespace zarvion {
namespace {

TEST(HostileSession, RandomSessionsEndCleanlyAndLeaveCompleteRecordings) {
  const std::vector<testing::EncodedFrame> frames = testing::EncodeTestFrames(12, 4);
  int sessions = 16;
  if (const char* n = std::getenv("ZARVION_HOSTILE_SESSIONS")) sessions = std::atoi(n);
  int decoded = 0, posts = 0;
  for (int seed = 1; seed <= sessions; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<uint8_t> bytes = fuzz::HostileSession(static_cast<uint32_t>(seed), frames);
    {
      fuzz::Session session;
      session.Run(bytes.data(), bytes.size());
      decoded += session.decoded;
      posts += session.ui.posts;
      EXPECT_EQ(session.obj.bConnected.load(), 0u);
      for (auto& d : session.decoders) d->StopRecording();
      // Both recordings are complete: the RIFF covers each file whole.
      int recordings = 0;
      for (const std::string& name : session.folder.Files()) {
        if (name.size() < 4 || name.substr(name.size() - 4) != ".avi") continue;
        ++recordings;
        std::ifstream f(session.folder.Path() + "/" + name, std::ios::binary);
        const std::string b((std::istreambuf_iterator<char>(f)), {});
        ASSERT_GT(b.size(), 224u);
        uint32_t riff;
        std::memcpy(&riff, b.data() + 4, 4);
        EXPECT_EQ(riff, b.size() - 8) << name;
      }
      EXPECT_EQ(recordings, 2);
    }
  }
  // The sessions got through to the decoders and the notices.
  EXPECT_GT(decoded, sessions * 4);
  EXPECT_GT(posts, sessions);
}

}  // namespace
}  // namespace zarvion
