// The connection thread against a raw loopback peer that plays the server,
// for exact byte streams and for hostile input the simulator cannot make.
#include "net/connection_thread.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/playback.h"
#include "net_recorders.h"
#include "net_test_util.h"

namespace zarvion {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 20000;  // generous: a loaded sanitizer build must not run out of it
// A stop must end every wait of the thread, even one without a time limit
// (or the 5 s of a send). The bound only tells ending from hanging; it is
// generous so that a loaded machine or a sanitizer build never fails it.
constexpr long kStopBoundMs = 2500;

template <typename Pred>
bool Eventually(Pred pred, int timeoutMs = kWaitMs) {
  return testing::WaitUntil(pred, timeoutMs);
}

class RawPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureEvents(obj);
    obj.pFrameBuffer = std::make_unique<uint8_t[]>(kFrameBufferSize);
    obj.ui = &ui;
    obj.video = &video;
    SetHost("127.0.0.1", listener.Port());
  }
  void TearDown() override {
    StopMs();
    if (peer >= 0) close(peer);
  }

  void SetHost(const char* host, uint16_t port) {
    std::memset(obj.szHostName, 0, sizeof obj.szHostName);
    std::strncpy(obj.szHostName, host, sizeof obj.szHostName - 1);
    obj.wHostPort = port;
  }

  // Starts the thread, asks it to connect, accepts it and checks the first
  // two messages of the session start.
  void Open(const char* login = "user=guest;pass=1") {
    std::strncpy(obj.szLoginPara, login, sizeof obj.szLoginPara - 1);
    ASSERT_TRUE(thread.Start());
    obj.hConnectEvent->Set();
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
    timeval tv{kWaitMs / 1000, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    MessageHeader h = ReadHeader();
    EXPECT_EQ(h.code, kLogin);
    EXPECT_EQ(h.length, kLoginPayloadSize);
    EXPECT_TRUE(h.ChecksumValid());
    char payload[kLoginPayloadSize];
    ASSERT_TRUE(testing::ReadFully(peer, payload, sizeof payload));
    EXPECT_EQ(0, std::memcmp(payload, obj.szLoginPara, sizeof payload));
    EXPECT_EQ(ReadHeader().code, kSessionQuery);
    EXPECT_EQ(obj.bConnected.load(), 1u);
  }

  // Open, then a SessionInfo (and, with flag bit 1, the VideoParamQuery
  // answered by an empty table).
  void OpenSession(uint8_t channels, uint16_t flags) {
    Open();
    Send(ComposeSessionInfo(channels, flags));
    if (flags & kFlagPictureSettings) {
      EXPECT_EQ(ReadHeader().code, kVideoParamQuery);
      Send(ComposeVideoParamTable(0));
    }
  }

  MessageHeader ReadHeader() {
    uint8_t raw[kHeaderSize] = {};
    EXPECT_TRUE(testing::ReadFully(peer, raw, sizeof raw));
    return MessageHeader::Decode(raw);
  }
  // Whatever the client sends within `ms`, if anything.
  std::optional<MessageHeader> ReadHeaderWithin(int ms) {
    pollfd p{peer, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return std::nullopt;
    return ReadHeader();
  }

  void Send(const MessageHeader& h, const void* payload = nullptr, size_t size = 0) {
    const auto b = h.Encode();
    ASSERT_TRUE(testing::WriteFully(peer, b.data(), b.size()));
    if (size) {
      ASSERT_TRUE(testing::WriteFully(peer, payload, size));
    }
  }
  void SendBytes(const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(testing::WriteFully(peer, bytes.data(), bytes.size()));
  }

  // Everything sent so far has been dispatched once an empty notice has
  // been posted.
  void Sync() {
    const size_t posts = ui.Count("post");
    Send(ComposeServerNotice(0));
    ASSERT_TRUE(ui.WaitCount("post", posts + 1, kWaitMs));
  }

  void ClosePeer() {
    close(peer);
    peer = -1;
  }

  // Sets the stop and joins: the milliseconds teardown took.
  long StopMs() {
    const bool running = thread.Joinable();
    const auto t0 = Clock::now();
    obj.hStopEvent->Set();
    thread.Join();
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
    if (running) RecordProperty("teardown_us", static_cast<int>(us));
    return static_cast<long>(us / 1000);
  }

  ControlObject obj;
  testing::RecordingUi ui;
  testing::RecordingVideo video;
  testing::Listener listener;
  int peer = -1;
  ConnectionThread thread{obj};  // last: destroyed first
};

TEST_F(RawPeer, PictureSettingsSessionStart) {
  obj.byVideoParam[5] = {9, 9, 9, 9};
  Open();
  Send(ComposeSessionInfo(3, kFlagPlayback | kFlagPictureSettings));
  EXPECT_EQ(ReadHeader().code, kVideoParamQuery);
  // Only the low byte of the length counts: 0x0104 is 4 records.
  MessageHeader table = ComposeVideoParamTable(0x0104);
  const std::vector<uint8_t> records{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  Send(table, records.data(), records.size());
  Sync();
  EXPECT_EQ(obj.channelCount.load(), 3u);
  EXPECT_EQ(obj.sessionFlags.load(), 3u);
  const std::vector<std::string> expect{"session 3 3", "post"};
  EXPECT_EQ(ui.Calls(), expect);
  EXPECT_EQ(obj.byVideoParam[0], (std::array<uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ(obj.byVideoParam[3], (std::array<uint8_t, 4>{13, 14, 15, 16}));
  EXPECT_EQ(obj.byVideoParam[4], (std::array<uint8_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(obj.byVideoParam[5], (std::array<uint8_t, 4>{9, 9, 9, 9}));
}

// Messages that overtake the replies of the session start are handled in
// full, so their payloads never put the stream out of step.
TEST_F(RawPeer, NoticeBeforeTheParamTableKeepsTheStreamInStep) {
  std::vector<std::string> shown;
  ui.onPost = [&] { shown.emplace_back(obj.szServerText.data()); };
  Open();
  Send(ComposeSessionInfo(2, kFlagPictureSettings));
  EXPECT_EQ(ReadHeader().code, kVideoParamQuery);
  const char text[] = "before table";
  Send(ComposeServerNotice(sizeof text), text, sizeof text);
  const std::vector<uint8_t> records{1, 2, 3, 4, 5, 6, 7, 8};
  Send(ComposeVideoParamTable(2), records.data(), records.size());
  Send(ComposeSelectView(true, 2));
  Send(ComposeServerNotice(0));  // the second post: all of the above is read
  ASSERT_TRUE(ui.WaitCount("post", 2, kWaitMs));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], text);
  // The table that came late was still read whole and stored.
  EXPECT_EQ(obj.byVideoParam[1], (std::array<uint8_t, 4>{5, 6, 7, 8}));
  EXPECT_EQ(obj.dwDrawMode.load(), 1u);
}

TEST_F(RawPeer, NoticeInPlaceOfSessionInfoKeepsTheStreamInStep) {
  std::vector<std::string> shown;
  ui.onPost = [&] { shown.emplace_back(obj.szServerText.data()); };
  Open();
  const char text[] = "before info";
  Send(ComposeServerNotice(sizeof text), text, sizeof text);
  Send(ComposeSelectView(true, 3));
  Send(ComposeServerNotice(0));
  ASSERT_TRUE(ui.WaitCount("post", 2, kWaitMs));
  // The session values stay as they were, the notice is shown, and what
  // follows it is read in step.
  EXPECT_EQ(obj.channelCount.load(), 0u);
  EXPECT_EQ(obj.sessionFlags.load(), 0u);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], text);
  EXPECT_EQ(obj.dwDrawMode.load(), 2u);
}

TEST_F(RawPeer, OversizedParamTableAndChannelCountStayInBounds) {
  Open();
  // 40 channels: the list stops at the 16 the control has.
  Send(ComposeSessionInfo(40, kFlagPictureSettings));
  EXPECT_EQ(ReadHeader().code, kVideoParamQuery);
  std::vector<uint8_t> records;
  for (int j = 0; j < 20; ++j) records.insert(records.end(), 4, static_cast<uint8_t>(j + 1));
  Send(ComposeVideoParamTable(20), records.data(), records.size());
  Send(ComposeSelectView(true, 5));
  Sync();
  EXPECT_EQ(obj.channelCount.load(), 16u);
  EXPECT_EQ(ui.Count("session 2 16"), 1u);
  for (int j = 0; j < 16; ++j) EXPECT_EQ(obj.byVideoParam[j][0], j + 1);
  // The records beyond 16 were consumed: the SelectView after them was read.
  EXPECT_EQ(obj.dwDrawMode.load(), 4u);
}

TEST_F(RawPeer, HostileFramesAndNoticesKeepTheStreamInStep) {
  std::string shown;
  ui.onPost = [&] { shown = obj.szServerText.data(); };
  OpenSession(16, 0);
  std::vector<uint8_t> junk(1000, 0xAA);
  Send(ComposeVideoFrame(16, kKeyFrameFlag, 1000), junk.data(), junk.size());
  Send(ComposeVideoFrame(255, 0, 10), junk.data(), 10);
  std::vector<uint8_t> huge(kFrameBufferSize + 1, 0xBB);
  Send(ComposeVideoFrame(2, kKeyFrameFlag, static_cast<uint32_t>(huge.size())), huge.data(),
       huge.size());
  // Unhandled codes carry nothing that is read.
  Send(ComposeHeader(5));
  Send(ComposeSessionInfo(1, 3));
  // A notice too long for the text buffer: the first 1023 bytes are shown.
  std::string notice(1023, 'A');
  notice += std::string(977, 'B');
  Send(ComposeServerNotice(static_cast<uint32_t>(notice.size())), notice.data(), notice.size());
  ASSERT_TRUE(ui.WaitCount("post", 1, kWaitMs));
  EXPECT_EQ(shown, std::string(1023, 'A'));

  const std::vector<uint8_t> good{1, 2, 3, 4, 5, 6, 7, 8};
  Send(ComposeVideoFrame(3, kKeyFrameFlag, 8), good.data(), good.size());
  // The largest frame that fits is decoded whole.
  std::vector<uint8_t> full(kFrameBufferSize, 0xCC);
  Send(ComposeVideoFrame(15, 0, kFrameBufferSize), full.data(), full.size());
  Send(ComposeSelectView(false, 9));
  Sync();
  const auto frames = video.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].slot, 3);
  EXPECT_EQ(frames[0].data, good);
  EXPECT_EQ(frames[0].flags, kKeyFrameFlag);
  EXPECT_EQ(frames[1].slot, 15);
  EXPECT_EQ(frames[1].data, full);
  EXPECT_EQ(video.Placed(), (std::vector<int>{3, 15}));
  EXPECT_EQ(video.Clears(), 0);
  EXPECT_EQ(obj.dwDrawMode.load(), kDrawGrid9);
  EXPECT_EQ(obj.channelCount.load(), 16u);  // the late SessionInfo was ignored
}

// A long run of random messages, each with the payload its code implies
// (and unhandled codes with none): whatever the fields say, no decoder sees
// a slot beyond 16 or a frame beyond the buffer, and the stream is still in
// step at the end.
TEST_F(RawPeer, RandomMessagesStayInBoundsAndInStep) {
  std::string last;
  std::mutex lastMutex;
  ui.onPost = [&] {
    std::lock_guard lock(lastMutex);
    last = obj.szServerText.data();
  };
  OpenSession(16, kFlagPlayback);
  std::mt19937 random(20261208);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  const uint8_t codes[] = {kSessionInfo,  kFileList,   kPlayFileRequest, kPlaybackInfo,
                           kVideoFrame,   kSelectView, kPlaybackStep,    kVideoParamTable,
                           kServerNotice, 200};
  const uint32_t frameLengths[] = {0, 1, 4000, kFrameBufferSize, kFrameBufferSize + 1, 600000};
  std::vector<uint8_t> payload;
  for (int i = 0; i < 300; ++i) {
    MessageHeader h;
    h.code = codes[pick(std::size(codes))];
    h.channel = static_cast<uint8_t>(pick(256));
    h.param0 = static_cast<uint16_t>(random());
    h.param1 = static_cast<uint16_t>(random());
    h.param3 = static_cast<uint16_t>(random());
    h.param4 = static_cast<uint16_t>(random());
    size_t bytes = 0;
    switch (h.code) {
      case kVideoFrame:
        h.length = frameLengths[pick(std::size(frameLengths))];
        bytes = h.length;
        break;
      case kServerNotice:
        h.length = pick(3000);
        bytes = h.length;
        break;
      case kVideoParamTable:
        h.length = pick(0x200);
        bytes = (h.length & 0xFF) * kVideoParamRecordSize;
        break;
      case kFileList:
        h.length = pick(4);
        bytes = h.length * kFileRecordSize;
        break;
      default:
        h.length = 0;  // unhandled codes carry nothing the client reads
    }
    h.Seal();
    payload.resize(bytes);
    for (auto& b : payload) b = static_cast<uint8_t>(random());
    Send(h, payload.data(), payload.size());
  }
  Send(ComposeSelectView(true, 7));
  const char end[] = "end";
  Send(ComposeServerNotice(sizeof end), end, sizeof end);
  ASSERT_TRUE(Eventually(
      [&] {
        std::lock_guard lock(lastMutex);
        return last == end;
      },
      10000));
  EXPECT_EQ(obj.dwDrawMode.load(), 6u);
  EXPECT_EQ(obj.bConnected.load(), 1u);
  // Some frames were fit to decode and some were not.
  EXPECT_GT(video.FrameCount(), 0u);
  for (const auto& f : video.Frames()) {
    EXPECT_LT(f.slot, 16);
    EXPECT_LE(f.data.size(), kFrameBufferSize);
  }
}

TEST_F(RawPeer, FailedDecodeClearsTheViewBeforePlacing) {
  video.decodeResult = false;
  OpenSession(4, 0);
  Send(ComposeVideoFrame(0, 0, 3), "abc", 3);
  Sync();
  EXPECT_EQ(video.Clears(), 1);
  EXPECT_EQ(video.Placed(), (std::vector<int>{0}));
}

TEST_F(RawPeer, SelectViewKeepsDrawModeValid) {
  OpenSession(16, 0);
  obj.dwDrawMode = kDrawGrid4;
  obj.dwSavedDrawMode = kDrawGrid4;
  for (uint8_t bad : {uint8_t{0}, uint8_t{17}, uint8_t{255}}) {
    obj.bLayoutDirty = 0;
    Send(ComposeSelectView(true, bad));
    Sync();
    EXPECT_EQ(obj.dwDrawMode.load(), kDrawGrid4) << int{bad};
    EXPECT_EQ(obj.dwSavedDrawMode.load(), kDrawGrid4);
  }
  Send(ComposeSelectView(true, 5));
  Sync();
  EXPECT_EQ(obj.dwDrawMode.load(), 4u);
  EXPECT_EQ(obj.dwSavedDrawMode.load(), kDrawGrid4);
  EXPECT_EQ(obj.bLayoutDirty.load(), 1u);
  EXPECT_EQ(ui.Count("view from"), 1u);
  // The same channel again changes nothing; a pending snapshot stays.
  obj.bSnapshot = 1;
  Send(ComposeSelectView(true, 5));
  Sync();
  EXPECT_EQ(obj.bSnapshot.load(), 1u);
  EXPECT_EQ(ui.Count("view from"), 1u);
  // A second single view in a row: the grid stays the view to return to,
  // the snapshot asked for in the view left is dropped, and the window is
  // told which view was left.
  Send(ComposeSelectView(true, 16));
  Sync();
  EXPECT_EQ(obj.dwDrawMode.load(), 15u);
  EXPECT_EQ(obj.dwSavedDrawMode.load(), kDrawGrid4);
  EXPECT_EQ(obj.bSnapshot.load(), 0u);
  EXPECT_EQ(ui.Count("view from 4"), 1u);
  // Nor is the playback view ever saved.
  obj.dwDrawMode = kDrawPlayback;
  Send(ComposeSelectView(true, 2));
  Sync();
  EXPECT_EQ(obj.dwDrawMode.load(), 1u);
  EXPECT_EQ(obj.dwSavedDrawMode.load(), kDrawGrid4);
  // Any other param0 is a grid; an odd pane count is stored as it came.
  Send(ComposeSelectView(false, 9));
  Sync();
  EXPECT_EQ(obj.dwDrawMode.load(), kDrawGrid9);
  EXPECT_EQ(obj.dwSavedDrawMode.load(), kDrawGrid9);
  MessageHeader odd = ComposeSelectView(false, 7);
  odd.param0 = 2;
  odd.Seal();
  Send(odd);
  Sync();
  EXPECT_EQ(obj.dwDrawMode.load(), 0x00070000u);
}

TEST(PlaybackRows, CutFromFixedPositions) {
  auto row = RowFromRecord(FileRecord::WithLocation("d:07/2007/05/06/12/30/45.avi"));
  EXPECT_EQ(row.channel, "07");
  EXPECT_EQ(row.time, "2007-05-06 12:30:45");
  EXPECT_EQ(row.location, "d:07/2007/05/06/12/30/45.avi");
  // The separators between the groups do not matter.
  row = RowFromRecord(FileRecord::WithLocation("X:12_2010x11y09z23-59.58_rest"));
  EXPECT_EQ(row.channel, "12");
  EXPECT_EQ(row.time, "2010-11-09 23:59:58");
  // A short location gives short pieces and still a row; nothing is read
  // past the NUL-padded field.
  row = RowFromRecord(FileRecord::WithLocation("ab"));
  EXPECT_EQ(row.channel, "");
  EXPECT_EQ(row.location, "ab");
  row = RowFromRecord(FileRecord::WithLocation("ab3"));
  EXPECT_EQ(row.channel, "3");
  // A field with no NUL at all is cut at its 260 bytes.
  FileRecord full;
  std::memset(full.bytes.data() + kFileLocationOffset, '9', kFileLocationSize);
  row = RowFromRecord(full);
  EXPECT_EQ(row.time, "9999-99-99 99:99:99");
  EXPECT_EQ(row.location.size(), kFileLocationSize);
}

TEST_F(RawPeer, FileListRowsAndTruncatedRecordEndsSession) {
  OpenSession(16, kFlagPlayback);
  Send(ComposeFileList(0));
  const FileRecord a = FileRecord::WithLocation("d:07/2007/05/06/12/30/45.avi");
  Send(ComposeFileList(1), a.bytes.data(), a.bytes.size());
  Sync();
  EXPECT_EQ(ui.Count("row "), 1u);

  const FileRecord b = FileRecord::WithLocation("d:08/2008/01/02/03/04/05.avi");
  Send(ComposeFileList(2), b.bytes.data(), b.bytes.size());
  SendBytes(std::vector<uint8_t>(a.bytes.begin(), a.bytes.begin() + 100));
  ClosePeer();
  ASSERT_TRUE(Eventually([&] { return obj.bConnected.load() == 0; }));
  const auto calls = ui.Calls();
  std::vector<std::string> rows;
  for (const auto& c : calls) {
    if (c.rfind("row ", 0) == 0) rows.push_back(c);
  }
  EXPECT_EQ(rows,
            (std::vector<std::string>{"row 07|2007-05-06 12:30:45|d:07/2007/05/06/12/30/45.avi",
                                      "row 08|2008-01-02 03:04:05|d:08/2008/01/02/03/04/05.avi"}));
  EXPECT_LT(StopMs(), 1000);
}

TEST_F(RawPeer, TruncatedPayloadEndsSessionWithoutDispatch) {
  OpenSession(16, 0);
  Send(ComposeVideoFrame(1, kKeyFrameFlag, 5000));
  SendBytes(std::vector<uint8_t>(100, 1));
  ClosePeer();
  ASSERT_TRUE(Eventually([&] { return obj.bConnected.load() == 0; }));
  EXPECT_EQ(video.FrameCount(), 0u);
  EXPECT_FALSE(obj.socket.Valid());
}

TEST_F(RawPeer, ServerCloseEndsThreadForGood) {
  OpenSession(16, 0);
  // Data sent before the close is still handled.
  Send(ComposeSelectView(false, 4));
  ClosePeer();
  ASSERT_TRUE(Eventually([&] { return obj.bConnected.load() == 0; }));
  EXPECT_EQ(obj.dwDrawMode.load(), kDrawGrid4);
  obj.hConnectEvent->Reset();
  obj.hConnectEvent->Set();
  pollfd p{listener.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 300), 0) << "an ended session must not connect again";
}

TEST_F(RawPeer, IdleRedrawsMarkLayoutDirty) {
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(video.WaitRedraws(2, kWaitMs));
  EXPECT_EQ(obj.bLayoutDirty.load(), 1u);
  EXPECT_EQ(obj.bConnected.load(), 0u);
}

TEST_F(RawPeer, PlaybackInfoSetsUpControlsAndStepping) {
  OpenSession(16, kFlagPlayback);
  obj.bPaused = 1;  // as the window sets it when it requests the file
  MessageHeader info = ComposePlaybackInfo(100);
  Send(info);
  EXPECT_EQ(ReadHeader().param0, 0);  // SelectChannels 0
  auto last = Clock::now();
  for (uint32_t step = 0; step < 3; ++step) {
    const MessageHeader h = ReadHeader();
    const auto now = Clock::now();
    RecordProperty("step_gap_us_" + std::to_string(step),
                   static_cast<int>(
                       std::chrono::duration_cast<std::chrono::microseconds>(now - last).count()));
    last = now;
    EXPECT_EQ(h.code, kPlaybackStep);
    EXPECT_TRUE(h.ChecksumValid());
    EXPECT_EQ(PlaybackStepNumber(h), step);
  }
  const auto calls = ui.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[1], "playback 100");
  EXPECT_EQ(obj.dwPlayLength.load(), 100u);
  EXPECT_EQ(obj.dwDrawMode.load(), kDrawPlayback);
  ASSERT_TRUE(ui.WaitCount("pos 3", 1, kWaitMs));

  // Leaving the playback view stops the stepping.
  Send(ComposeSelectView(false, 16));
  while (ReadHeaderWithin(150)) {
  }
  EXPECT_FALSE(ReadHeaderWithin(300));
}

// Blocks the session start's call until the stop, like the window's
// synchronous calls while its thread is busy tearing down.
class StallingUi : public testing::RecordingUi {
 public:
  explicit StallingUi(const Event* stop) : stop_(stop) {}
  void SessionStarted(uint32_t, uint32_t) override {
    entered = true;
    WaitAny({stop_}, kInfinite);
  }
  std::atomic<bool> entered{false};

 private:
  const Event* stop_;
};

TEST_F(RawPeer, StopEndsThreadFromEveryState) {
  // Idle, never connected: the socket is closed too.
  ASSERT_TRUE(thread.Start());
  std::this_thread::sleep_for(50ms);
  EXPECT_LT(StopMs(), kStopBoundMs);
  EXPECT_FALSE(obj.socket.Valid());
}

TEST_F(RawPeer, StopEndsSessionStartWait) {
  Open();
  std::this_thread::sleep_for(50ms);
  EXPECT_LT(StopMs(), kStopBoundMs);
  EXPECT_EQ(obj.bConnected.load(), 0u);
}

TEST_F(RawPeer, StopEndsSteadyStateAndStalledPayload) {
  OpenSession(16, 0);
  Send(ComposeVideoFrame(0, 0, 100000));
  SendBytes(std::vector<uint8_t>(10, 0));
  std::this_thread::sleep_for(50ms);
  EXPECT_LT(StopMs(), kStopBoundMs);
  EXPECT_EQ(video.FrameCount(), 0u);
}

TEST_F(RawPeer, StopEndsWaitInsideWindowCall) {
  StallingUi stalling(obj.hStopEvent.get());
  obj.ui = &stalling;
  Open();
  Send(ComposeSessionInfo(4, kFlagPlayback));
  ASSERT_TRUE(Eventually([&] { return stalling.entered.load(); }));
  EXPECT_LT(StopMs(), kStopBoundMs);
}

TEST_F(RawPeer, StopEndsPendingConnect) {
  // A listener whose backlog is full drops further connection requests, so
  // the connect stays pending.
  testing::Listener full(0);
  Socket filler = Socket::Create(SOCK_STREAM);
  ASSERT_TRUE(filler.Connect("127.0.0.1", full.Port(), nullptr, 1000));
  SetHost("127.0.0.1", full.Port());
  ASSERT_TRUE(thread.Start());
  const uint32_t id = obj.dwThreadId;
  obj.hConnectEvent->Set();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(obj.dwThreadId.load(), id) << "the connect should still be pending";
  EXPECT_EQ(obj.bConnected.load(), 0u);
  EXPECT_LT(StopMs(), kStopBoundMs);
}

TEST_F(RawPeer, PlaybackPacingWaitsForQuietAndGoesOnPastTheLength) {
  OpenSession(16, kFlagPlayback);
  obj.bPaused = 1;
  Send(ComposePlaybackInfo(2));
  const MessageHeader select = ReadHeader();
  EXPECT_EQ(select.code, 8);  // SelectChannels comes first, mask 0
  EXPECT_EQ(select.param0, 0);

  // Steps come at most one per quiet 100 ms, and past the length of 2.
  auto last = Clock::now();
  for (uint32_t step = 0; step < 4; ++step) {
    const MessageHeader h = ReadHeader();
    const auto now = Clock::now();
    EXPECT_EQ(h.code, 9);
    EXPECT_EQ(PlaybackStepNumber(h), step);
    if (step > 0) {
      EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count(), 90)
          << step;
    }
    last = now;
  }

  // While messages keep arriving, steps are held back.
  const auto floodEnd = Clock::now() + 700ms;
  int stepsDuringFlood = 0;
  while (Clock::now() < floodEnd) {
    Send(ComposeServerNotice(0));
    while (auto h = ReadHeaderWithin(0)) stepsDuringFlood += h->code == 9;
    std::this_thread::sleep_for(20ms);
  }
  // One step may have been on its way when the flood began, and a loaded
  // machine may hold this thread back past 100 ms once or twice; a step
  // per message would be dozens.
  EXPECT_LE(stepsDuringFlood, 3);
  // Quiet again, stepping resumes where it was.
  const auto resumed = ReadHeaderWithin(kWaitMs);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->code, 9);
  EXPECT_GE(PlaybackStepNumber(*resumed), 4u);

  // A second playback starts again at step 0: the first step after its
  // SelectChannels.
  obj.bPaused = 1;
  Send(ComposePlaybackInfo(50));
  std::vector<MessageHeader> after;
  while (after.size() < 8) {
    const auto h = ReadHeaderWithin(kWaitMs);
    ASSERT_TRUE(h);
    if (h->code == 8) after.clear();
    after.push_back(*h);
    if (after.front().code == 8 && after.size() == 2) break;
  }
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[1].code, 9);
  EXPECT_EQ(PlaybackStepNumber(after[1]), 0u);
}

TEST_F(RawPeer, HeadersAreTakenAsTheyComeWithoutReadingUnknownPayloads) {
  OpenSession(16, 0);
  obj.dwDrawMode = kDrawGrid16;
  // A code the client does not handle, with a length: the 20 bytes behind
  // it are the next header, not its payload.
  MessageHeader unknown = ComposeHeader(5);
  unknown.length = kHeaderSize;
  unknown.Seal();
  Send(unknown);
  Send(ComposeSelectView(true, 3));
  Sync();
  EXPECT_EQ(obj.dwDrawMode.load(), 2u);
  // A wrong checksum is not checked: the header is handled all the same.
  MessageHeader grid = ComposeSelectView(false, 9);
  grid.checksum ^= 0x5A5A;
  Send(grid);
  Sync();
  EXPECT_EQ(obj.dwDrawMode.load(), kDrawGrid9);
}

}  // namespace
}  // namespace zarvion
