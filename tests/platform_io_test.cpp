#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "net_test_util.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace zarvion {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ConnectedPair;
using testing::Listener;
using testing::MakePair;

TEST(Event, ManualResetStaysSetUntilReset) {
  Event e;
  ASSERT_TRUE(e.Valid());
  EXPECT_FALSE(e.IsSet());
  e.Set();
  e.Set();
  EXPECT_TRUE(e.IsSet());
  // Waking a waiter does not consume a manual-reset event.
  EXPECT_EQ(WaitAny({&e}, 0), 0);
  EXPECT_EQ(WaitAny({&e}, 0), 0);
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  EXPECT_EQ(WaitAny({&e}, 0), kWaitTimeout);
  e.Reset();  // resetting a reset event is harmless
  EXPECT_FALSE(e.IsSet());
}

TEST(Event, WaitAnyReportsLowestReadyIndexAndSkipsNull) {
  Event a, b;
  b.Set();
  EXPECT_EQ(WaitAny({nullptr, &a, &b}, 0), 2);
  a.Set();
  EXPECT_EQ(WaitAny({nullptr, &a, &b}, 0), 1);
  EXPECT_EQ(WaitAny({nullptr}, 10), kWaitTimeout);
}

TEST(Event, WaitAnyWakesOnSetFromAnotherThreadAndTimesOut) {
  Event e;
  const auto t0 = Clock::now();
  EXPECT_EQ(WaitAny({&e}, 50), kWaitTimeout);
  EXPECT_GE(Clock::now() - t0, 45ms);

  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    e.Set();
  });
  EXPECT_EQ(WaitAny({&e}, kInfinite), 0);
  setter.join();
}

TEST(Event, WaitAnyWatchesSocketReadinessAfterEvents) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  Event stop;
  EXPECT_EQ(WaitAny({&stop}, 20, pair.client.Fd(), POLLIN), kWaitTimeout);
  ASSERT_TRUE(testing::WriteFully(pair.peer, "x", 1));
  EXPECT_EQ(WaitAny({&stop}, 1000, pair.client.Fd(), POLLIN), 1);
  // With both ready, the event comes first.
  stop.Set();
  EXPECT_EQ(WaitAny({&stop}, 1000, pair.client.Fd(), POLLIN), 0);
}

TEST(Socket, ConnectTakesDottedIpv4Only) {
  Listener l;
  for (const char* bad : {"localhost", "", "example.invalid", "127.0.0.1.5", "300.1.1.1"}) {
    Socket s = Socket::Create(SOCK_STREAM);
    int error = 0;
    EXPECT_FALSE(s.Connect(bad, l.Port(), nullptr, 1000, &error)) << bad;
    EXPECT_EQ(error, EINVAL) << bad;
  }
  Socket s = Socket::Create(SOCK_STREAM);
  EXPECT_FALSE(s.Connect(nullptr, l.Port(), nullptr, 1000));
  EXPECT_TRUE(s.Connect("127.0.0.1", l.Port(), nullptr, 1000));
  // The short numeric forms inet_addr accepts are addresses, not names.
  Socket shortForm = Socket::Create(SOCK_STREAM);
  EXPECT_TRUE(shortForm.Connect("127.1", l.Port(), nullptr, 1000));
}

TEST(Socket, ConnectToClosedPortFails) {
  Socket s = Socket::Create(SOCK_STREAM);
  int error = 0;
  EXPECT_FALSE(s.Connect("127.0.0.1", testing::UnusedPort(), nullptr, 2000, &error));
  EXPECT_EQ(error, ECONNREFUSED);
  Socket invalid;
  EXPECT_FALSE(invalid.Connect("127.0.0.1", 1, nullptr, 100));
}

TEST(Socket, ReceiveWaitsEndsOnStopTimeoutAndClose) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  Event stop;
  char buf[16];
  size_t moved = 99;

  EXPECT_EQ(pair.client.ReceiveSome(buf, sizeof buf, &moved, &stop, 30), IoResult::kTimeout);
  EXPECT_EQ(moved, 0u);

  std::thread stopper([&] {
    std::this_thread::sleep_for(30ms);
    stop.Set();
  });
  const auto t0 = Clock::now();
  EXPECT_EQ(pair.client.ReceiveSome(buf, sizeof buf, &moved, &stop, kInfinite), IoResult::kStopped);
  EXPECT_LT(Clock::now() - t0, 2s);
  stopper.join();
  stop.Reset();

  ASSERT_TRUE(testing::WriteFully(pair.peer, "hello", 5));
  EXPECT_EQ(pair.client.ReceiveSome(buf, sizeof buf, &moved, &stop, 1000), IoResult::kDone);
  EXPECT_EQ(moved, 5u);
  EXPECT_FALSE(pair.client.PeerClosed());

  close(pair.peer);
  pair.peer = -1;
  EXPECT_EQ(pair.client.ReceiveSome(buf, sizeof buf, &moved, &stop, 1000), IoResult::kClosed);
  EXPECT_TRUE(pair.client.PeerClosed());
}

TEST(Socket, PeerClosedOnlyOnceUnreadDataIsGone) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_TRUE(testing::WriteFully(pair.peer, "ab", 2));
  close(pair.peer);
  pair.peer = -1;
  EXPECT_EQ(WaitAny({}, 1000, pair.client.Fd(), POLLIN), 0);
  EXPECT_FALSE(pair.client.PeerClosed());
  char buf[4];
  size_t moved = 0;
  EXPECT_EQ(pair.client.ReceiveSome(buf, sizeof buf, &moved, nullptr, 1000), IoResult::kDone);
  EXPECT_EQ(moved, 2u);
  EXPECT_TRUE(pair.client.PeerClosed());
}

TEST(Socket, SendBlockedByFullPeerEndsOnStop) {
  ConnectedPair pair;
  MakePair(pair);
  ASSERT_GE(pair.peer, 0);
  Event stop;
  std::vector<char> chunk(1 << 16, 'z');
  size_t moved = 0;
  // Fill both socket buffers: the peer never reads.
  IoResult r;
  while ((r = pair.client.SendSome(chunk.data(), chunk.size(), &moved, &stop, 50)) ==
         IoResult::kDone) {
  }
  EXPECT_EQ(r, IoResult::kTimeout);
  // A send that can still complete at once does so even with the stop set
  // (the kernel may grow the buffers); once one would wait, the stop ends it.
  stop.Set();
  for (int i = 0; i < 1000; ++i) {
    r = pair.client.SendSome(chunk.data(), chunk.size(), &moved, &stop, kInfinite);
    if (r != IoResult::kDone) break;
  }
  EXPECT_EQ(r, IoResult::kStopped);
  EXPECT_EQ(moved, 0u);

  // Shutting the socket down wakes a waiting receive as a close.
  stop.Reset();
  std::thread closer([&] {
    std::this_thread::sleep_for(30ms);
    pair.client.Shutdown();
  });
  char buf[8];
  EXPECT_EQ(pair.client.ReceiveSome(buf, sizeof buf, &moved, &stop, 2000), IoResult::kClosed);
  closer.join();
}

TEST(Socket, SendToResetPeerReportsClosedWithoutSignal) {
  ConnectedPair pair;
  MakePair(pair);
  // A zero linger makes the peer's close a reset.
  linger lg{1, 0};
  setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(pair.peer);
  pair.peer = -1;
  std::this_thread::sleep_for(20ms);
  size_t moved = 0;
  IoResult r = IoResult::kDone;
  for (int i = 0; i < 10 && r == IoResult::kDone; ++i) {
    r = pair.client.SendSome("data", 4, &moved, nullptr, 500);
  }
  EXPECT_EQ(r, IoResult::kClosed);
}

}  // namespace
}  // namespace zarvion
