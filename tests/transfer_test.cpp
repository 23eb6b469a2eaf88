#include "net/transfer.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "net/message_reader.h"
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

// A stream of frames read as the connection thread reads it (header, then
// the payload where it lies or gathered), with a skipped one among them,
// through readers of every capacity from 64 bytes up: the buffer's end falls
// at every byte of a message, inside headers and payloads, and payloads
// exceed the buffer. Every message comes out whole and in step.
TEST(MessageReader, EveryBufferBoundaryKeepsTheStreamInStep) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  Event stop;
  const uint32_t sizes[] = {100, 300, 7, 100, 0, 150};
  std::vector<uint8_t> stream;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    const auto h = ComposeVideoFrame(static_cast<uint8_t>(i), 0, sizes[i]).Encode();
    stream.insert(stream.end(), h.begin(), h.end());
    for (uint32_t j = 0; j < sizes[i]; ++j) stream.push_back(static_cast<uint8_t>(i * 31 + j));
  }
  std::vector<uint8_t> gathered(1024);
  for (size_t capacity = 64; capacity < 64 + stream.size(); ++capacity) {
    SCOPED_TRACE(capacity);
    ASSERT_TRUE(testing::WriteFully(pair.peer, stream.data(), stream.size()));
    MessageReader reader(pair.client, &stop, capacity);
    for (size_t i = 0; i < std::size(sizes); ++i) {
      uint8_t raw[kHeaderSize];
      ASSERT_TRUE(reader.Read(raw, sizeof raw));
      const MessageHeader h = MessageHeader::Decode(raw);
      ASSERT_TRUE(h.ChecksumValid());
      ASSERT_EQ(h.channel, i);
      ASSERT_EQ(h.length, sizes[i]);
      if (i == 3) {
        ASSERT_TRUE(reader.Skip(h.length));
        continue;
      }
      const uint8_t* payload = reader.Take(h.length);
      if (!payload) {
        ASSERT_TRUE(reader.Read(gathered.data(), h.length));
        payload = gathered.data();
      }
      for (uint32_t j = 0; j < h.length; ++j) {
        ASSERT_EQ(payload[j], static_cast<uint8_t>(i * 31 + j)) << "message " << i << " byte " << j;
      }
    }
    // Nothing was read past the stream.
    EXPECT_EQ(reader.Buffered(), 0u);
  }
}

TEST(MessageReader, PeerClosingMidMessageAndStopEndTheRead) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  Event stop;
  MessageReader reader(pair.client, &stop, 64);
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    stop.Set();
  });
  uint8_t buf[200];
  auto t0 = Clock::now();
  EXPECT_FALSE(reader.Read(buf, kHeaderSize));
  EXPECT_LT(Clock::now() - t0, 2s);
  stopper.join();

  stop.Reset();
  const auto h = ComposeVideoFrame(1, 0, 150).Encode();
  ASSERT_TRUE(testing::WriteFully(pair.peer, h.data(), h.size()));
  ASSERT_TRUE(testing::WriteFully(pair.peer, buf, 70));
  close(pair.peer);
  pair.peer = -1;
  ASSERT_TRUE(reader.Read(buf, kHeaderSize));
  t0 = Clock::now();
  EXPECT_FALSE(reader.Read(buf, 150));
  EXPECT_FALSE(reader.Skip(10));
  EXPECT_LT(Clock::now() - t0, 1s);
}

}  // namespace
}  // namespace zarvion
