#include "net/transfer.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "net_test_util.h"

namespace zarvion {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ConnectedPair;
using testing::MakePair;

TEST(Transfer, CreateStreamSocketKeepsOldValueOnFailure) {
  Socket where = Socket::Create(SOCK_STREAM);
  const int before = where.Fd();
  ASSERT_GE(before, 0);
  EXPECT_TRUE(CreateStreamSocket(where, -1));
  EXPECT_EQ(where.Fd(), before);
  EXPECT_TRUE(CreateStreamSocket(where, SOCK_STREAM));
  EXPECT_TRUE(where.Valid());
}

TEST(Transfer, ReceiveAllAssemblesPiecesAndZeroCountIsDone) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  Event stop;
  const MessageHeader sent = ComposeVideoFrame(3, kKeyFrameFlag, 1234);
  const auto bytes = sent.Encode();
  std::thread peer([&] {
    testing::WriteFully(pair.peer, bytes.data(), 7);
    std::this_thread::sleep_for(30ms);
    testing::WriteFully(pair.peer, bytes.data() + 7, 13);
  });
  std::array<uint8_t, kHeaderSize> got{};
  uint32_t total = 0;
  EXPECT_TRUE(ReceiveAll(pair.client, got.data(), kHeaderSize, &total, &stop, kInfinite));
  peer.join();
  EXPECT_EQ(total, 20u);
  const MessageHeader h = MessageHeader::Decode(got.data());
  EXPECT_EQ(h.code, kVideoFrame);
  EXPECT_EQ(h.channel, 3);
  EXPECT_EQ(h.length, 1234u);
  EXPECT_TRUE(h.ChecksumValid());

  total = 77;
  EXPECT_TRUE(ReceiveAll(pair.client, got.data(), 0, &total, &stop, kInfinite));
  EXPECT_EQ(total, 0u);
}

TEST(Transfer, StopAndCloseEndReceiveAllWithTotalUnwritten) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  Event stop;
  stop.Set();
  uint8_t buf[20];
  uint32_t total = 0xDEADBEEF;
  EXPECT_FALSE(ReceiveAll(pair.client, buf, sizeof buf, &total, &stop, kInfinite));
  EXPECT_EQ(total, 0xDEADBEEFu);

  // Part of the message arrives, then the peer closes: no retry loop, false.
  stop.Reset();
  testing::WriteFully(pair.peer, "abc", 3);
  close(pair.peer);
  pair.peer = -1;
  const auto t0 = Clock::now();
  EXPECT_FALSE(ReceiveAll(pair.client, buf, sizeof buf, &total, &stop, kInfinite));
  EXPECT_LT(Clock::now() - t0, 1s);
  EXPECT_EQ(total, 0xDEADBEEFu);
}

TEST(Transfer, SendMessageNeedsConnectedSession) {
  ControlObject obj;
  EnsureEvents(obj);
  EXPECT_FALSE(SendMessage(obj, ComposeSessionQuery()));
  obj.socket = Socket::Create(SOCK_STREAM);
  EXPECT_FALSE(SendMessage(obj, ComposeSessionQuery()));  // socket, but not connected
  obj.bConnected = 1;
  obj.socket.Close();
  EXPECT_FALSE(SendMessage(obj, ComposeSessionQuery()));
}

TEST(Transfer, SendMessageStopEndsBlockedSendAndShutsDownPartialMessage) {
  ControlObject obj;
  EnsureEvents(obj);
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  obj.socket = std::move(pair.client);
  obj.bConnected = 1;
  // A payload far larger than the socket buffers; the peer never reads.
  std::vector<uint8_t> big(16 << 20, 0x5A);
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    obj.hStopEvent->Set();
  });
  const auto t0 = Clock::now();
  EXPECT_FALSE(SendMessage(obj, ComposeServerNotice(static_cast<uint32_t>(big.size())), big.data(),
                           static_cast<uint32_t>(big.size())));
  EXPECT_LT(Clock::now() - t0, 2s);
  stopper.join();
  // The peer got the start of a message that can never be completed: the
  // connection must be over rather than left out of step.
  EXPECT_TRUE(obj.socket.PeerClosed());
}

// Two threads sending through one socket: every message must arrive whole.
TEST(Transfer, ConcurrentSendMessagesNeverInterleave) {
  ControlObject obj;
  EnsureEvents(obj);
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  obj.socket = std::move(pair.client);
  obj.bConnected = 1;
  constexpr int kPerThread = 10000;

  // Thread t sends PlaybackStep headers (t = 0) or PlayFileRequest with a
  // record whose every byte carries the sequence number (t = 1).
  auto sender = [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      if (t == 0) {
        ASSERT_TRUE(SendMessage(obj, ComposePlaybackStep(static_cast<uint32_t>(i))));
      } else {
        FileRecord rec;
        rec.bytes.fill(static_cast<uint8_t>(i));
        ASSERT_TRUE(SendMessage(obj, ComposePlayFileRequest(), rec.bytes.data(),
                                static_cast<uint32_t>(rec.bytes.size())));
      }
    }
  };
  int steps = 0, records = 0, broken = 0;
  std::thread reader([&] {
    uint8_t head[kHeaderSize];
    uint8_t body[kFileRecordSize];
    while (steps + records < 2 * kPerThread) {
      if (!testing::ReadFully(pair.peer, head, sizeof head)) break;
      const MessageHeader h = MessageHeader::Decode(head);
      if (!h.ChecksumValid()) {
        ++broken;
        break;
      }
      if (h.code == kPlaybackStep && h.length == 0) {
        if (PlaybackStepNumber(h) != static_cast<uint32_t>(steps)) ++broken;
        ++steps;
      } else if (h.code == kPlayFileRequest && h.length == 1) {
        if (!testing::ReadFully(pair.peer, body, sizeof body)) break;
        for (uint8_t b : body) {
          if (b != static_cast<uint8_t>(records)) {
            ++broken;
            break;
          }
        }
        ++records;
      } else {
        ++broken;
        break;
      }
    }
  });
  std::thread a(sender, 0), b(sender, 1);
  a.join();
  b.join();
  reader.join();
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(steps, kPerThread);
  EXPECT_EQ(records, kPerThread);
}

}  // namespace
}  // namespace zarvion
