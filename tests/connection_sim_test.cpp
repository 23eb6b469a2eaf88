// The connection thread end to end against the simulated recorder, with the
// window's side recorded.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dvrsim/dvrsim.h"
#include "net/connection_thread.h"
#include "net/transfer.h"
#include "net_recorders.h"
#include "net_test_util.h"
#include "platform/code_page.h"

namespace zarvion {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using dvrsim::LoggedMessage;

constexpr int kWaitMs = 20000;  // generous: a loaded sanitizer build must not run out of it

template <typename Pred>
bool Eventually(Pred pred, int timeoutMs = kWaitMs) {
  return testing::WaitUntil(pred, timeoutMs);
}

dvrsim::Options Quick(int channels, uint16_t flags) {
  dvrsim::Options o;
  o.channels = channels;
  o.flags = flags;
  o.fps = 10;
  o.gop = 5;
  o.bitrate = 200000;
  o.recordings = 3;
  o.steps = 100;
  return o;
}

std::unique_ptr<dvrsim::Server> StartServer(const dvrsim::Options& o) {
  auto s = std::make_unique<dvrsim::Server>(o);
  EXPECT_TRUE(s->Start()) << s->Error();
  return s;
}

// The simulator's picture settings of channel c (0-based).
std::array<uint8_t, 4> SimParams(int c) {
  return {static_cast<uint8_t>(100 + 5 * c), static_cast<uint8_t>(3 * c),
          static_cast<uint8_t>(40 + c), static_cast<uint8_t>(50 + c)};
}

std::function<bool(const LoggedMessage&)> Code(uint8_t code) {
  return [code](const LoggedMessage& m) { return m.header.code == code; };
}

struct Client {
  Client() {
    EnsureEvents(obj);
    obj.pFrameBuffer = std::make_unique<uint8_t[]>(kFrameBufferSize);
    obj.ui = &ui;
    obj.video = &video;
  }
  ~Client() { Stop(); }

  void Connect(const char* host, uint16_t port, const char* login = "guest") {
    std::memset(obj.szHostName, 0, sizeof obj.szHostName);
    std::strncpy(obj.szHostName, host, sizeof obj.szHostName - 1);
    obj.wHostPort = port;
    std::strncpy(obj.szLoginPara, login, sizeof obj.szLoginPara - 1);
    if (!thread.Joinable()) thread.Start();
    obj.hConnectEvent->Set();
  }
  void Stop() {
    obj.hStopEvent->Set();
    thread.Join();
  }
  std::vector<std::string> Calls(const std::string& prefix) {
    std::vector<std::string> out;
    for (auto& c : ui.Calls()) {
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    }
    return out;
  }

  ControlObject obj;
  testing::RecordingUi ui;
  testing::RecordingVideo video;
  ConnectionThread thread{obj};
};

TEST(Simulator, SessionStartForEachFlagCombination) {
  for (uint16_t flags = 0; flags < 4; ++flags) {
    SCOPED_TRACE("flags " + std::to_string(flags));
    auto server = StartServer(Quick(3, flags));
    Client client;
    // The host stores the parameter as GBK; it goes out byte for byte.
    const auto gbk = Utf8ToGbk("user=张三");
    ASSERT_TRUE(gbk);
    client.Connect("127.0.0.1", server->Port(), gbk->c_str());
    // Live video follows the whole session start. The picture settings
    // query and its table may still be on their way when the first frames
    // are in: the recorder logs a request after handling it.
    ASSERT_TRUE(client.video.WaitFrames(3, kWaitMs));
    if (flags & 2) {
      ASSERT_TRUE(server->WaitFor(Code(kVideoParamQuery), kWaitMs));
    }
    EXPECT_EQ(client.obj.bConnected.load(), 1u);
    EXPECT_EQ(client.obj.channelCount.load(), 3u);
    EXPECT_EQ(client.obj.sessionFlags.load(), flags);

    EXPECT_EQ(client.ui.Calls(),
              std::vector<std::string>{"session " + std::to_string(flags) + " 3"});
    for (int c = 0; c < 4; ++c) {
      const auto want = (flags & 2) && c < 3 ? SimParams(c) : std::array<uint8_t, 4>{};
      EXPECT_EQ(client.obj.byVideoParam[c], want) << "channel " << c + 1;
    }
    for (const auto& f : client.video.Frames()) EXPECT_LT(f.slot, 3);

    const auto log = server->Messages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].header.code, kLogin);
    std::vector<uint8_t> login(kLoginPayloadSize, 0);
    std::memcpy(login.data(), gbk->data(), gbk->size());
    EXPECT_EQ(log[0].payload, std::vector<uint8_t>(login.begin(), login.end()));
    EXPECT_EQ(log[1].header.code, kSessionQuery);
    const bool asked = log.size() > 2 && log[2].header.code == kVideoParamQuery;
    EXPECT_EQ(asked, (flags & 2) != 0);
    for (const auto& m : log) EXPECT_TRUE(m.checksumValid);
  }
}

TEST(Simulator, NoChannelsAndWrongFirstReply) {
  {
    auto server = StartServer(Quick(0, 3));
    Client client;
    client.Connect("127.0.0.1", server->Port());
    // No frames to wait for: the first redraw after the session start shows
    // the steady state has been reached (the session start draws nothing).
    ASSERT_TRUE(client.ui.WaitCount("session 3 0", 1, kWaitMs));
    ASSERT_TRUE(client.video.WaitRedraws(client.video.Redraws() + 1, kWaitMs));
    server->Command("view grid 4");
    ASSERT_TRUE(Eventually([&] { return client.obj.dwDrawMode.load() == kDrawGrid4; }));
    EXPECT_EQ(client.Calls("session"), (std::vector<std::string>{"session 3 0"}));
    EXPECT_EQ(client.obj.byVideoParam[0], (std::array<uint8_t, 4>{}));
  }
  {
    auto server = StartServer(Quick(2, 3));
    server->Stop();
    dvrsim::Options o = Quick(2, 3);
    o.faults = {"wrong-first-reply"};
    server = StartServer(o);
    Client client;
    client.obj.channelCount = 5;
    client.Connect("127.0.0.1", server->Port());
    // The session goes on with the values held before: no flags, no query.
    ASSERT_TRUE(client.video.WaitFrames(2, kWaitMs));
    EXPECT_EQ(client.obj.channelCount.load(), 5u);
    EXPECT_EQ(client.obj.sessionFlags.load(), 0u);
    EXPECT_EQ(client.ui.Calls(), std::vector<std::string>{"session 0 5"});
    EXPECT_EQ(client.obj.bConnected.load(), 1u);
  }
}

TEST(Simulator, FailedConnectThenSecondRequestConnects) {
  auto server = StartServer(Quick(1, 0));
  Client client;
  ASSERT_TRUE(client.thread.Start());
  const uint32_t first = client.obj.dwThreadId;
  client.Connect("127.0.0.1", testing::UnusedPort());
  ASSERT_TRUE(Eventually([&] { return client.obj.dwThreadId.load() != first; }));
  EXPECT_FALSE(client.obj.hConnectEvent->IsSet());
  // The host can tell why: refused, and the thread waits again.
  SessionStatus status = ReadSessionStatus(client.obj);
  EXPECT_EQ(status.lastError, SessionError::kRefused);
  EXPECT_EQ(status.errorCount, 1u);
  EXPECT_TRUE(
      Eventually([&] { return ReadSessionStatus(client.obj).state == SessionState::kIdle; }));

  const uint32_t second = client.obj.dwThreadId;
  client.Connect("localhost", server->Port());  // names are not resolved
  ASSERT_TRUE(Eventually([&] { return client.obj.dwThreadId.load() != second; }));
  EXPECT_EQ(server->ConnectedClients(), 0);
  EXPECT_TRUE(server->Messages().empty());
  status = ReadSessionStatus(client.obj);
  EXPECT_EQ(status.lastError, SessionError::kBadAddress);
  EXPECT_EQ(status.errorCount, 2u);

  client.Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(server->WaitFor(Code(kSessionQuery), kWaitMs));
  ASSERT_TRUE(client.video.WaitFrames(1, kWaitMs));
  EXPECT_EQ(client.obj.bConnected.load(), 1u);
  EXPECT_EQ(ReadSessionStatus(client.obj).state, SessionState::kSession);

  // Ended by the host: no error to report.
  client.Stop();
  status = ReadSessionStatus(client.obj);
  EXPECT_EQ(status.state, SessionState::kEnded);
  EXPECT_EQ(status.errorCount, 2u);
}

TEST(Simulator, ViewsNoticesAndCloseReachTheControl) {
  auto server = StartServer(Quick(2, 0));
  Client client;
  std::string shown;
  client.ui.onPost = [&] { shown = client.obj.szServerText.data(); };
  client.Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(client.video.WaitFrames(1, kWaitMs));

  ASSERT_TRUE(server->Command("view single 5"));
  ASSERT_TRUE(Eventually([&] { return client.obj.dwDrawMode.load() == 4u; }));
  EXPECT_EQ(client.obj.dwSavedDrawMode.load(), kDrawGrid16);
  ASSERT_TRUE(server->Command("view grid 9"));
  ASSERT_TRUE(Eventually([&] { return client.obj.dwDrawMode.load() == kDrawGrid9; }));
  EXPECT_EQ(client.obj.dwSavedDrawMode.load(), kDrawGrid9);
  ASSERT_TRUE(server->Command("view single 0"));
  ASSERT_TRUE(server->Command("notice 录像机 ready"));
  ASSERT_TRUE(client.ui.WaitCount("post", 1, kWaitMs));
  EXPECT_EQ(shown, *Utf8ToGbk("录像机 ready"));
  EXPECT_EQ(client.obj.dwDrawMode.load(), kDrawGrid9);

  ASSERT_TRUE(server->Command("close"));
  ASSERT_TRUE(Eventually([&] { return client.obj.bConnected.load() == 0; }));
  ASSERT_TRUE(
      Eventually([&] { return ReadSessionStatus(client.obj).state == SessionState::kEnded; }));
  EXPECT_EQ(ReadSessionStatus(client.obj).lastError, SessionError::kClosedByServer);
  EXPECT_EQ(ReadSessionStatus(client.obj).errorCount, 1u);
  // The session is over for good: a later request does not connect.
  client.obj.hConnectEvent->Reset();
  client.obj.hConnectEvent->Set();
  std::this_thread::sleep_for(300ms);
  for (const auto& m : server->Messages()) EXPECT_EQ(m.client, 1);
}

TEST(Simulator, PlaybackEndToEnd) {
  auto server = StartServer(Quick(2, 1));
  Client client;
  ControlObject& obj = client.obj;
  client.Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(client.video.WaitFrames(1, kWaitMs));

  // The playback button: the list comes back as one row per recording.
  ASSERT_TRUE(SendMessage(obj, ComposeFileListRequest()));
  const auto locations = server->RecordingLocations();
  ASSERT_EQ(locations.size(), 3u);
  ASSERT_TRUE(client.ui.WaitCount("row ", 3, kWaitMs));
  std::vector<std::string> expect;
  for (const auto& l : locations) {
    expect.push_back("row " + l.substr(2, 2) + "|" + l.substr(5, 4) + "-" + l.substr(10, 2) + "-" +
                     l.substr(13, 2) + " " + l.substr(16, 2) + ":" + l.substr(19, 2) + ":" +
                     l.substr(22, 2) + "|" + l);
  }
  EXPECT_EQ(client.Calls("row "), expect);

  // Choosing a row: stop, pause, request the file.
  const FileRecord chosen = FileRecord::WithLocation(locations[1]);
  obj.bPaused = 1;
  ASSERT_TRUE(SendMessage(obj, ComposePlaybackStop()));
  ASSERT_TRUE(SendMessage(obj, ComposePlayFileRequest(), chosen.bytes.data(), kFileRecordSize));
  auto step = [](uint32_t n) {
    return [n](const LoggedMessage& m) {
      return m.header.code == kPlaybackStep && PlaybackStepNumber(m.header) == n;
    };
  };
  ASSERT_TRUE(server->WaitFor(step(2), kWaitMs));
  EXPECT_EQ(obj.dwPlayLength.load(), 100u);
  EXPECT_EQ(obj.dwDrawMode.load(), kDrawPlayback);
  EXPECT_EQ(client.ui.Count("playback 100"), 1u);

  auto steps = [&] {
    size_t n = 0;
    for (const auto& m : server->Messages()) n += m.header.code == kPlaybackStep;
    return n;
  };
  obj.bPaused = 1;
  const size_t pausedAt = steps();
  std::this_thread::sleep_for(550ms);
  // At most the one step that was already on its way when the pause came
  // (it may land late on a loaded machine).
  EXPECT_LE(steps(), pausedAt + 1) << "no steps while paused";

  {  // slider released at 40
    std::lock_guard lock(obj.csPosition);
    obj.dwPlayPos = 40;
    obj.bPaused = 0;
  }
  ASSERT_TRUE(server->WaitFor(step(41), kWaitMs));

  const auto log = server->Messages();
  std::vector<std::pair<uint8_t, uint32_t>> seen;
  size_t play = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_TRUE(log[i].checksumValid) << "message " << i;
    if (log[i].header.code == kPlayFileRequest) play = i;
  }
  ASSERT_GT(play, 0u);
  EXPECT_EQ(log[play - 1].header.code, kPlaybackStop);
  EXPECT_EQ(log[play].header.length, 1u);
  EXPECT_EQ(log[play].payload, std::vector<uint8_t>(chosen.bytes.begin(), chosen.bytes.end()));
  for (size_t i = play + 1; i < log.size(); ++i) {
    const auto& h = log[i].header;
    seen.emplace_back(h.code, h.code == kPlaybackStep ? PlaybackStepNumber(h) : h.param0);
  }
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::make_pair(uint8_t{kSelectChannels}, 0u));
  // Steps count up from 0 with no gap, then jump to the released position.
  uint32_t want = 0;
  for (size_t i = 1; i < seen.size(); ++i) {
    ASSERT_EQ(seen[i].first, kPlaybackStep);
    if (seen[i].second == 40) want = 40;
    EXPECT_EQ(seen[i].second, want++);
  }
  EXPECT_EQ(seen.back().second, 41u);
  // The recording's pictures are decoded in slot 0.
  EXPECT_EQ(client.video.Frames().back().slot, 0);
}

struct FaultCase {
  const char* name;
  bool endsSession;
};

class SimulatorFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimulatorFault, SurvivedInStep) {
  const FaultCase fault = GetParam();
  dvrsim::Options o = Quick(2, 3);
  o.faults = {fault.name};
  auto server = StartServer(o);
  Client client;
  std::string shown;
  client.ui.onPost = [&] { shown = client.obj.szServerText.data(); };
  client.Connect("127.0.0.1", server->Port());
  ASSERT_TRUE(server->WaitFor(Code(kLogin), kWaitMs));

  if (fault.endsSession) {
    ASSERT_TRUE(Eventually([&] { return client.obj.bConnected.load() == 0; }, 8000));
  } else {
    ASSERT_TRUE(client.video.WaitFrames(4, 8000));
    ASSERT_TRUE(server->Command("view grid 4"));
    ASSERT_TRUE(Eventually([&] { return client.obj.dwDrawMode.load() == kDrawGrid4; }, 8000));
    EXPECT_EQ(client.obj.bConnected.load(), 1u);
  }
  for (const auto& f : client.video.Frames()) {
    EXPECT_LT(f.slot, 2);
    EXPECT_LE(f.data.size(), kFrameBufferSize);
    EXPECT_FALSE(!f.data.empty() && f.data[0] == 0x5A && f.data.back() == 0x5A)
        << "junk frame decoded";
  }
  const std::string name = fault.name;
  if (name == "long-notice") {
    EXPECT_EQ(shown, std::string(kServerTextSize - 1, 'N'));
  }
  if (name == "big-param-table") {
    for (int c = 0; c < 16; ++c) EXPECT_EQ(client.obj.byVideoParam[c], SimParams(c));
  }
  if (name == "close-after-login") {
    EXPECT_TRUE(client.ui.Calls().empty());
    // Closed without a word in reply: told apart from a session the
    // recorder ended (see ViewsNoticesAndCloseReachTheControl).
    EXPECT_EQ(ReadSessionStatus(client.obj).lastError, SessionError::kLoginRefused);
  }
  if (name == "truncated-frame") {
    EXPECT_GE(client.video.FrameCount(), 2u);
  }

  const auto t0 = Clock::now();
  client.Stop();
  EXPECT_LT(Clock::now() - t0, 1s);
}

INSTANTIATE_TEST_SUITE_P(
    AllFaults, SimulatorFault,
    ::testing::Values(FaultCase{"oversize-frame", false}, FaultCase{"channel-out-of-range", false},
                      FaultCase{"long-notice", false}, FaultCase{"big-param-table", false},
                      FaultCase{"truncated-frame", true}, FaultCase{"trickle", false},
                      FaultCase{"wrong-first-reply", false}, FaultCase{"unknown-code", false},
                      FaultCase{"close-after-login", true}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
      std::string n = info.param.name;
      for (char& c : n) {
        if (c == '-') c = '_';
      }
      return n;
    });

}  // namespace
}  // namespace zarvion
