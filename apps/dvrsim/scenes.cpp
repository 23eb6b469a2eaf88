#include "dvrsim/scenes.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "dvrsim/pictures.h"

namespace zarvion::dvrsim {

Scenes::Scenes(Settings settings)
    : settings_(settings), channels_(static_cast<size_t>(std::max(settings.channels, 0))) {}

Scenes::~Scenes() {
  Stop();
}

void Scenes::Start() {
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void Scenes::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Scenes::Motion(int channel, double seconds) {
  if (channel < 0 || channel >= settings_.channels || !(seconds > 0) || seconds > 3600) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Channel& ch = channels_[static_cast<size_t>(channel)];
  // Off the left edge at the first picture, off the right edge at the last.
  ch.motionFrames = std::max(2, static_cast<int>(std::lround(seconds * settings_.fps)));
  ch.motionFrame = 0;
  return true;
}

bool Scenes::ToggleLight(int channel) {
  if (channel < 0 || channel >= settings_.channels) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  Channel& ch = channels_[static_cast<size_t>(channel)];
  ch.lit = !ch.lit;
  return true;
}

bool Scenes::SetLight(int channel, bool on) {
  if (channel < 0 || channel >= settings_.channels) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  channels_[static_cast<size_t>(channel)].lit = on;
  return true;
}

bool Scenes::Noise(int channel, int level) {
  if (channel < 0 || channel >= settings_.channels || level < 0 || level > kMaxSceneNoise) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  channels_[static_cast<size_t>(channel)].noise = level;
  return true;
}

bool Scenes::Take(int channel, Follower* follower, bool restart,
                  std::vector<std::shared_ptr<const LiveFrame>>* out) {
  out->clear();
  std::lock_guard<std::mutex> lock(mutex_);
  const Channel& ch = channels_[static_cast<size_t>(channel)];
  if (!ch.encoder || ch.frames.empty()) {
    follower->live = false;
    return false;
  }
  const uint64_t key = ch.frames.front()->seq;
  if (!follower->live) {
    // Joins at a key frame only, and only while it is fresh: otherwise
    // the loop goes on until the next one.
    if (ch.frames.back()->seq - key > 1) return false;
    follower->live = true;
    follower->next = key;
  } else if (restart || follower->next < key) {
    follower->next = key;
  }
  for (const auto& f : ch.frames) {
    if (f->seq >= follower->next) out->push_back(f);
  }
  if (!out->empty()) follower->next = out->back()->seq + 1;
  return true;
}

void Scenes::Run() {
  const auto period = std::chrono::nanoseconds(1000000000LL / settings_.fps);
  const auto wander = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(settings_.wanderSeconds));
  Clock::time_point next = Clock::now();
  Clock::time_point nextWander = next + wander;
  int wanderChannel = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_until(lock, next, [this] { return stopping_; });
    if (stopping_) break;
    const Clock::time_point now = Clock::now();
    if (settings_.wanderSeconds > 0 && settings_.channels > 0 && now >= nextWander) {
      const int c = wanderChannel;
      wanderChannel = (wanderChannel + 1) % settings_.channels;
      nextWander = now + wander;
      lock.unlock();
      Motion(c, settings_.motionSeconds);
      lock.lock();
    }
    for (int c = 0; c < settings_.channels && !stopping_; ++c) Produce(c, lock);
    next += period;
    // Behind (a loaded machine): the live channels drop pictures rather
    // than catch up in a burst.
    if (next < Clock::now()) next = Clock::now() + period;
  }
}

void Scenes::Produce(int c, std::unique_lock<std::mutex>& lock) {
  Channel& ch = channels_[static_cast<size_t>(c)];
  if (!ch.Moving()) {
    // Still again: the followers go back to the loop.
    ch.encoder.reset();
    ch.frames.clear();
    return;
  }
  if (!ch.encoder) {
    ch.encoder = std::make_unique<Mp43Encoder>();
    std::string error;
    if (!ch.encoder->Open(settings_.fps, settings_.gop, settings_.bitrate, &error)) {
      ch.encoder.reset();
      return;
    }
    ch.sinceKey = 0;
  }
  SceneLook look;
  if (ch.motionFrames > 0) {
    const int travel = kPictureWidth + kObjectWidth;
    look.objectX = -kObjectWidth + travel * ch.motionFrame / (ch.motionFrames - 1);
    if (++ch.motionFrame >= ch.motionFrames) ch.motionFrames = 0;
  }
  look.lit = ch.lit;
  look.noise = ch.noise;
  const uint64_t seq = nextSeq_++;
  look.noiseSeed = static_cast<uint32_t>(seq * 7919u);
  const int counter = ch.counter;
  ch.counter = (ch.counter + 1) % std::max(settings_.loopLength, 1);
  const bool key = ch.sinceKey == 0;
  ch.sinceKey = (ch.sinceKey + 1) % std::max(settings_.gop, 1);
  Mp43Encoder* encoder = ch.encoder.get();  // only this thread replaces it

  lock.unlock();
  Canvas canvas(kPictureWidth, kPictureHeight);
  DrawLivePicture(&canvas, c, counter, look);
  auto frame = std::make_shared<LiveFrame>();
  frame->seq = seq;
  const bool encoded = encoder->Encode(canvas, key, &frame->frame);
  lock.lock();

  if (!encoded) {
    ch.encoder.reset();
    ch.frames.clear();
    return;
  }
  if (frame->frame.key) ch.frames.clear();
  if (!ch.frames.empty() || frame->frame.key) ch.frames.push_back(std::move(frame));
}

}  // namespace zarvion::dvrsim
