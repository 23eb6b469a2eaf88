#include "platform/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace zarvion {
namespace {

using Clock = std::chrono::steady_clock;

// What is left of a time-out that started at `start`.
uint32_t Remaining(Clock::time_point start, uint32_t timeoutMs) {
  if (timeoutMs == kInfinite) return kInfinite;
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return spent >= timeoutMs ? 0 : timeoutMs - static_cast<uint32_t>(spent);
}

// Waits for the socket to become ready for `what`, the stop event first.
IoResult WaitReady(int fd, short what, const Event* stop, Clock::time_point start,
                   uint32_t timeoutMs) {
  switch (WaitAny({stop}, Remaining(start, timeoutMs), fd, what)) {
    case 0:
      return IoResult::kStopped;
    case 1:
      return IoResult::kDone;
    case kWaitTimeout:
      return IoResult::kTimeout;
    default:
      return IoResult::kError;
  }
}

bool IsClosedError(int e) {
  return e == EPIPE || e == ECONNRESET || e == ENOTCONN;
}

}  // namespace

Socket Socket::Create(int type) {
  return Socket(socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

void Socket::Shutdown() {
  if (fd_.Valid()) shutdown(fd_.Get(), SHUT_RDWR);
}

bool Socket::Connect(const char* dottedIpv4, uint16_t port, const Event* stop, uint32_t timeoutMs,
                     int* error) {
  auto fail = [error](int e) {
    if (error) *error = e;
    return false;
  };
  if (!fd_.Valid()) return fail(EBADF);
  if (dottedIpv4 == nullptr) return fail(EINVAL);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  // inet_aton accepts exactly the numeric forms that inet_addr does and never
  // consults a resolver.
  if (inet_aton(dottedIpv4, &addr.sin_addr) == 0) return fail(EINVAL);

  const auto start = Clock::now();
  if (connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return fail(errno);
  switch (WaitReady(fd_.Get(), POLLOUT, stop, start, timeoutMs)) {
    case IoResult::kDone:
      break;
    case IoResult::kStopped:
      return fail(EINTR);
    case IoResult::kTimeout:
      return fail(ETIMEDOUT);
    default:
      return fail(EIO);
  }
  int soError = 0;
  socklen_t len = sizeof soError;
  if (getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return fail(errno);
  return soError == 0 ? true : fail(soError);
}

IoResult Socket::SendSome(const void* data, size_t count, size_t* moved, const Event* stop,
                          uint32_t timeoutMs) {
  *moved = 0;
  if (!fd_.Valid()) return IoResult::kError;
  if (count == 0) return IoResult::kDone;
  const auto start = Clock::now();
  for (;;) {
    const ssize_t n = send(fd_.Get(), data, count, MSG_NOSIGNAL);
    if (n > 0) {
      *moved = static_cast<size_t>(n);
      return IoResult::kDone;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return IsClosedError(errno) ? IoResult::kClosed : IoResult::kError;
    }
    const IoResult ready = WaitReady(fd_.Get(), POLLOUT, stop, start, timeoutMs);
    if (ready != IoResult::kDone) return ready;
  }
}

IoResult Socket::ReceiveSome(void* data, size_t count, size_t* moved, const Event* stop,
                             uint32_t timeoutMs) {
  *moved = 0;
  if (!fd_.Valid()) return IoResult::kError;
  if (count == 0) return IoResult::kDone;
  const auto start = Clock::now();
  for (;;) {
    const ssize_t n = recv(fd_.Get(), data, count, 0);
    if (n > 0) {
      *moved = static_cast<size_t>(n);
      return IoResult::kDone;
    }
    if (n == 0) return IoResult::kClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return IsClosedError(errno) ? IoResult::kClosed : IoResult::kError;
    }
    const IoResult ready = WaitReady(fd_.Get(), POLLIN, stop, start, timeoutMs);
    if (ready != IoResult::kDone) return ready;
  }
}

bool Socket::PeerClosed() const {
  if (!fd_.Valid()) return true;
  char c;
  for (;;) {
    const ssize_t n = recv(fd_.Get(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return false;
    if (n == 0) return true;
    if (errno == EINTR) continue;
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

std::string Socket::PeerAddress() const {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  if (!fd_.Valid() || getpeername(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &size) != 0 ||
      a.sin_family != AF_INET) {
    return {};
  }
  char dotted[INET_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof dotted)) return {};
  return std::string(dotted) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace zarvion
