// The one owner of a file descriptor: closes it when destroyed, moves but
// never copies.
#pragma once

#include <unistd.h>

namespace zarvion {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes `fd` over; a negative value owns nothing (a failed open may be
  // passed straight in).
  explicit UniqueFd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return Valid(); }

  // Gives the descriptor up without closing it.
  [[nodiscard]] int Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held, if any, and takes `fd` over. Use it where
  // nothing was written through the descriptor; a file that was written
  // goes through Close, whose result says whether the data arrived.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd < 0 ? -1 : fd;
  }
  // Closes now. False when nothing was held or the close failed: for a
  // file written through the descriptor, that is where a write the file
  // system took late (NFS, a full disk) still fails. The descriptor is
  // gone either way and must not be closed again.
  [[nodiscard]] bool Close() noexcept {
    const int fd = Release();
    return fd >= 0 && ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace zarvion
