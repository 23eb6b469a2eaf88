// Recording stand-ins for the control window's side of the connection
// thread: a ControlUi and a VideoSink that log every call, for tests that
// drive the real thread against a real peer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/control_ui.h"
#include "net/video_sink.h"

namespace zarvion::testing {

// Waits on a condition over state guarded by one mutex.
class Recorder {
 public:
  template <typename Pred>
  bool WaitUntil(Pred pred, int timeoutMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(); });
  }

 protected:
  void Notify() { changed_.notify_all(); }
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Every call as one line, e.g. "session 3 16" (flags, channels), "playback
// 100", "pos 3", "row 07|time|loc", "post", "view from 5".
class RecordingUi : public ControlUi, public Recorder {
 public:
  void SessionStarted(uint32_t flags, uint32_t channels) override {
    Add("session " + std::to_string(flags) + " " + std::to_string(channels));
  }
  void PlaybackStarted(uint32_t steps) override { Add("playback " + std::to_string(steps)); }
  void PlaybackPosition(uint32_t position) override { Add("pos " + std::to_string(position)); }
  void PlaybackRow(const std::string& channel, const std::string& time,
                   const std::string& location) override {
    Add("row " + channel + "|" + time + "|" + location);
  }
  void PostServerText() override {
    if (onPost) onPost();
    Add("post");
  }
  void ViewChanged(uint32_t leftView) override { Add("view from " + std::to_string(leftView)); }

  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  size_t Count(const std::string& prefix) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& c : calls_) n += c.rfind(prefix, 0) == 0;
    return n;
  }
  bool WaitCount(const std::string& prefix, size_t n, int timeoutMs) {
    return WaitUntil(
        [&] {
          size_t k = 0;
          for (const auto& c : calls_) k += c.rfind(prefix, 0) == 0;
          return k >= n;
        },
        timeoutMs);
  }

  // Runs on the connection thread inside PostServerText (e.g. to copy the
  // text while the thread cannot overwrite it).
  std::function<void()> onPost;

 private:
  void Add(std::string line) {
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(line));
    }
    Notify();
  }
  std::vector<std::string> calls_;
};

struct DecodedFrame {
  int slot;
  std::vector<uint8_t> data;
  uint16_t flags;
};

class RecordingVideo : public VideoSink, public Recorder {
 public:
  bool Decode(int slot, const uint8_t* data, uint32_t size, uint16_t flags) override {
    {
      std::lock_guard lock(mutex_);
      frames_.push_back({slot, std::vector<uint8_t>(data, data + size), flags});
    }
    Notify();
    return decodeResult;
  }
  void ClearView() override { Bump(clears_); }
  void PlaceChannel(int slot) override {
    {
      std::lock_guard lock(mutex_);
      placed_.push_back(slot);
    }
    Notify();
  }
  void Redraw() override { Bump(redraws_); }

  std::vector<DecodedFrame> Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  size_t FrameCount() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  std::vector<int> Placed() {
    std::lock_guard lock(mutex_);
    return placed_;
  }
  int Clears() {
    std::lock_guard lock(mutex_);
    return clears_;
  }
  int Redraws() {
    std::lock_guard lock(mutex_);
    return redraws_;
  }
  bool WaitFrames(size_t n, int timeoutMs) {
    return WaitUntil([&] { return frames_.size() >= n; }, timeoutMs);
  }
  bool WaitRedraws(int n, int timeoutMs) {
    return WaitUntil([&] { return redraws_ >= n; }, timeoutMs);
  }

  bool decodeResult = true;

 private:
  void Bump(int& counter) {
    {
      std::lock_guard lock(mutex_);
      ++counter;
    }
    Notify();
  }
  std::vector<DecodedFrame> frames_;
  std::vector<int> placed_;
  int clears_ = 0;
  int redraws_ = 0;
};

}  // namespace zarvion::testing
