// Loopback helpers shared by the network session's tests: a listening
// socket on an ephemeral port and a connected pair made through it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#include "platform/socket.h"

namespace zarvion::testing {

// A blocking listener on 127.0.0.1 with a kernel-chosen port.
class Listener {
 public:
  explicit Listener(int backlog = 8) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, backlog);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  // A blocking accepted descriptor (or -1).
  int Accept() { return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port on which nothing listens (bound, then released).
inline uint16_t UnusedPort() {
  Listener l;
  return l.Port();
}

// A client Socket connected to a blocking peer descriptor.
struct ConnectedPair {
  Socket client;
  int peer = -1;
  ~ConnectedPair() {
    if (peer >= 0) close(peer);
  }
};

inline void MakePair(ConnectedPair& pair) {
  Listener l;
  pair.client = Socket::Create(SOCK_STREAM);
  // Without a connection there is nothing to accept: the pair keeps no peer.
  if (!pair.client.Connect("127.0.0.1", l.Port(), nullptr, 2000)) return;
  pair.peer = l.Accept();
}

// Blocking helpers for the peer side.
inline bool WriteFully(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

inline bool ReadFully(int fd, void* data, size_t n) {
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Polls `pred` every 2 ms until it holds or `timeoutMs` passes.
template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace zarvion::testing
