// Scenes on command: an object crossing a camera's picture, the lights
// switched on, a noisy sensor. A channel whose scene is anything but still
// is encoded live, once for all sessions, by one thread that keeps the
// live rate; the still scene stays the loop encoded at start-up. A session
// follows a channel's live stream from a key frame on and goes back to its
// loop at a key frame of the loop once the scene is still again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dvrsim/encoder.h"

namespace zarvion::dvrsim {

struct LiveFrame {
  uint64_t seq;  // counts every live frame of the channel, never reused
  EncodedFrame frame;
};

class Scenes {
 public:
  using Clock = std::chrono::steady_clock;

  // What one session knows of one channel's live stream.
  struct Follower {
    bool live = false;  // sending the live stream, not the loop
    uint64_t next = 0;  // the next live frame to send
  };

  struct Settings {
    int channels = 0, fps = 25, gop = 25, bitrate = 1500000, loopLength = 1;
    double motionSeconds = 3;  // what `motion K` without a time means
    double wanderSeconds = 0;  // an object crosses a channel this often, 0 = never
  };

  explicit Scenes(Settings settings);
  ~Scenes();  // Stop()
  Scenes(const Scenes&) = delete;
  Scenes& operator=(const Scenes&) = delete;

  void Start();
  void Stop();

  // `channel` is 0-based; false if there is no such channel.
  bool Motion(int channel, double seconds);
  bool ToggleLight(int channel);
  bool SetLight(int channel, bool on);
  bool Noise(int channel, int level);

  // The frames a follower of `channel` sends now, in order; false (and
  // nothing in *out) while it should play the loop instead. `restart` asks
  // for the stream again from its latest key frame.
  bool Take(int channel, Follower* follower, bool restart,
            std::vector<std::shared_ptr<const LiveFrame>>* out);

 private:
  struct Channel {
    // What the scene shows, as commanded.
    int motionFrames = 0;  // length of the current crossing, 0 = none
    int motionFrame = 0;   // how far it has gone
    bool lit = false;
    int noise = 0;
    // The live stream while the scene is not still.
    std::unique_ptr<Mp43Encoder> encoder;
    int sinceKey = 0;
    int counter = 0;                                      // the picture's frame counter
    std::deque<std::shared_ptr<const LiveFrame>> frames;  // from the latest key frame
    bool Moving() const { return motionFrames > 0 || lit || noise > 0; }
  };

  void Run();
  // Draws and encodes channel c's next picture; the caller holds mutex_ only
  // for reading the look and for publishing.
  void Produce(int c, std::unique_lock<std::mutex>& lock);

  const Settings settings_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Channel> channels_;  // guarded by mutex_
  uint64_t nextSeq_ = 1;           // guarded by mutex_
  bool stopping_ = false;          // guarded by mutex_
  std::thread thread_;
};

}  // namespace zarvion::dvrsim
