#include "dvrsim/session.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dvrsim/pictures.h"
#include "platform/code_page.h"

namespace zarvion::dvrsim {
namespace {

// Requests never carry more than this; anything larger is hostile and ends
// the session instead of making the reader allocate it.
constexpr uint32_t kMaxLoginPayload = 4096;
constexpr uint32_t kMaxPlayRecords = 16;
// How long the live video waits for the picture-settings query that a
// session announcing picture settings expects next.
constexpr auto kParamQueryWait = std::chrono::milliseconds(1000);
// The tick at which the truncated-frame fault cuts the connection.
constexpr int kTruncateAtTick = 5;
constexpr size_t kOversizeLength = kFrameBufferSize + 4096;
constexpr size_t kLongNoticeBytes = 3000;
constexpr uint32_t kBigParamRecords = 40;

bool Readable(int fd, int stopFd) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  while (poll(p, 2, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return !(p[1].revents & POLLIN);
}

bool Writable(int fd, int stopFd) {
  pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
  while (poll(p, 2, -1) < 0) {
    if (errno != EINTR) return false;
  }
  return !(p[1].revents & POLLIN);
}

// Whole-buffer receive on a non-blocking socket; false on close, error or stop.
bool ReceiveAll(int fd, int stopFd, uint8_t* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = recv(fd, data + done, count - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!Readable(fd, stopFd)) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

Bytes Message(const MessageHeader& h, const uint8_t* payload, size_t size) {
  Bytes m(kHeaderSize + size);
  h.EncodeTo(m.data());
  if (size) std::memcpy(m.data() + kHeaderSize, payload, size);
  return m;
}

Bytes FrameMessage(uint8_t channel, const EncodedFrame& f) {
  return Message(
      ComposeVideoFrame(channel, f.key ? kKeyFrameFlag : 0, static_cast<uint32_t>(f.bytes.size())),
      f.bytes.data(), f.bytes.size());
}

void Session::Run() {
  reader = std::thread([this] { ReadLoop(); });
  writer = std::thread([this] { WriteLoop(); });
}

void Session::Queue(Bytes message) {
  std::lock_guard<std::mutex> lock(mutex);
  outbox.push_back(std::move(message));
  wake.notify_all();
}

void Session::StartLive() {
  std::lock_guard<std::mutex> lock(mutex);
  liveStarted = true;
  wake.notify_all();
}

void Session::Close() {
  if (!closing.exchange(true)) shutdown(fd, SHUT_WR);
  std::lock_guard<std::mutex> lock(mutex);
  wake.notify_all();
}

void Session::Abort() {
  closing = true;
  shutdown(fd, SHUT_RDWR);
  std::lock_guard<std::mutex> lock(mutex);
  wake.notify_all();
}

bool Session::Send(const uint8_t* data, size_t count) {
  const bool trickle = recorder->faults.Has(Fault::kTrickle);
  size_t done = 0;
  while (done < count) {
    if (closing || recorder->stopping) return false;
    const size_t chunk = trickle ? 1 : count - done;
    const ssize_t n = send(fd, data + done, chunk, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      if (trickle) std::this_thread::sleep_for(std::chrono::microseconds(50));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Writable(fd, recorder->stopFd)) return false;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

void Session::ReadLoop() {
  uint8_t raw[kHeaderSize];
  while (ReceiveAll(fd, recorder->stopFd, raw, sizeof raw)) {
    const MessageHeader h = MessageHeader::Decode(raw);
    Bytes payload;
    if (h.code == kLogin) {
      if (h.length > kMaxLoginPayload) break;
      payload.resize(h.length);
    } else if (h.code == kPlayFileRequest) {
      if (h.length > kMaxPlayRecords) break;
      payload.resize(size_t{h.length} * kFileRecordSize);
    }
    if (!payload.empty() && !ReceiveAll(fd, recorder->stopFd, payload.data(), payload.size()))
      break;
    // Logged once handled: whoever waits for a request in the log may rely
    // on its effect (a changed table, a queued reply).
    const bool keep = closing || Handle(h, payload);
    recorder->log.Record({id, h, h.ChecksumValid(), payload});
    if (!keep) Close();
  }
  Close();
  readerDone = true;
}

// Answers one request; false ends the session.
bool Session::Handle(const MessageHeader& h, const Bytes& payload) {
  const Options& o = recorder->options;
  switch (h.code) {
    case kLogin: {
      if (recorder->faults.Has(Fault::kCloseAfterLogin)) return false;
      if (o.login) {
        const auto wanted = Utf8ToGbk(*o.login, kLoginPayloadSize, Cut::kBytes);
        const auto nul = std::find(payload.begin(), payload.end(), uint8_t{0});
        const std::string given(payload.begin(), nul);
        if (!wanted || given != *wanted) return false;
      }
      loggedIn = true;
      return true;
    }
    case kSessionQuery: {
      if (o.login && !loggedIn) return false;
      if (recorder->faults.Has(Fault::kWrongFirstReply)) {
        Queue(Message(ComposeFileList(0)));
        StartLive();
        return true;
      }
      Queue(Message(ComposeSessionInfo(static_cast<uint8_t>(o.channels), o.flags)));
      if (o.flags & kFlagPictureSettings) {
        std::lock_guard<std::mutex> lock(mutex);
        liveDeadline = Clock::now() + kParamQueryWait;
        wake.notify_all();
      } else {
        StartLive();
      }
      return true;
    }
    case kVideoParamQuery: {
      const uint32_t n = recorder->faults.Has(Fault::kBigParamTable)
                             ? kBigParamRecords
                             : static_cast<uint32_t>(o.channels);
      Bytes records(n * kVideoParamRecordSize);
      {
        std::lock_guard<std::mutex> lock(recorder->tableMutex);
        for (uint32_t j = 0; j < n; ++j) {
          const VideoParamRecord& r = recorder->table[j % kMaxChannels];
          uint8_t* p = records.data() + j * kVideoParamRecordSize;
          p[0] = r.brightness;
          p[1] = r.hue;
          p[2] = r.saturation;
          p[3] = r.contrast;
        }
      }
      Queue(Message(ComposeVideoParamTable(n), records.data(), records.size()));
      StartLive();
      return true;
    }
    case kSelectChannels: {
      std::lock_guard<std::mutex> lock(mutex);
      const uint16_t before = maskSet ? mask : 0xFFFF;
      mask = h.param0;
      maskSet = true;
      rewind |= static_cast<uint16_t>(mask & ~before);
      return true;
    }
    case kFileListRequest: {
      const auto& locations = recorder->locations;
      Bytes m = Message(ComposeFileList(static_cast<uint32_t>(locations.size())));
      for (const std::string& l : locations) {
        const FileRecord r = FileRecord::WithLocation(l);
        m.insert(m.end(), r.bytes.begin(), r.bytes.end());
      }
      Queue(std::move(m));
      return true;
    }
    case kPlayFileRequest: {
      if (payload.size() < kFileRecordSize) return true;
      FileRecord r;
      std::copy_n(payload.begin(), kFileRecordSize, r.bytes.begin());
      const auto& locations = recorder->locations;
      const auto it = std::find(locations.begin(), locations.end(), r.Location());
      if (it == locations.end()) return true;
      auto encoder = std::make_unique<Mp43Encoder>();
      std::string error;
      // Key frames are forced where a recording needs them (see Step).
      if (!encoder->Open(o.fps, kMaxGop, o.bitrate, &error)) return true;
      playing = static_cast<int>(it - locations.begin());
      playEncoder = std::move(encoder);
      lastStep = -2;
      Queue(Message(ComposePlaybackInfo(static_cast<uint32_t>(o.steps))));
      return true;
    }
    case kPlaybackStep:
      Step(PlaybackStepNumber(h));
      return true;
    case kPlaybackStop:
      playing = -1;
      playEncoder.reset();
      return true;
    case kVideoParamSet: {
      if (h.channel > o.channels) return true;
      std::lock_guard<std::mutex> lock(recorder->tableMutex);
      for (int c = 0; c < o.channels; ++c) {
        if (h.channel != 0 && h.channel != c + 1) continue;
        VideoParamRecord& r = recorder->table[c];
        r.saturation = static_cast<uint8_t>(h.param0);
        r.contrast = static_cast<uint8_t>(h.param1);
        r.brightness = static_cast<uint8_t>(h.param2);
        r.hue = static_cast<uint8_t>(h.param3);
      }
      return true;
    }
    default:
      return true;
  }
}

// Pictures of a recording are encoded on demand: consecutive steps continue
// the stream, any other step restarts it with a key frame.
void Session::Step(uint32_t step) {
  const Options& o = recorder->options;
  if (playing < 0 || step >= static_cast<uint32_t>(o.steps)) return;
  Canvas canvas(kPictureWidth, kPictureHeight);
  DrawRecordingPicture(&canvas, playing, step, static_cast<uint32_t>(o.steps));
  const bool follows = int64_t{step} == lastStep + 1;
  EncodedFrame frame;
  if (!playEncoder->Encode(canvas, !follows || step % o.gop == 0, &frame)) return;
  lastStep = step;
  Queue(FrameMessage(0, frame));
}

// Misbehaviour that happens once, right after the session start.
bool Session::SendOnceFaults() {
  const FaultSet& faults = recorder->faults;
  const EncodedFrame* first = recorder->loops.empty() ? nullptr : &recorder->loops[0][0];
  if (faults.Has(Fault::kOversizeFrame)) {
    const Bytes junk(kOversizeLength, 0x5A);
    if (!Send(Message(ComposeVideoFrame(0, 0, kOversizeLength), junk.data(), junk.size())))
      return false;
  }
  if (faults.Has(Fault::kChannelOutOfRange) && first) {
    if (!Send(FrameMessage(20, *first))) return false;
  }
  if (faults.Has(Fault::kLongNotice)) {
    const Bytes text(kLongNoticeBytes, 'N');
    if (!Send(Message(ComposeServerNotice(kLongNoticeBytes), text.data(), text.size())))
      return false;
  }
  if (faults.Has(Fault::kUnknownCode)) {
    if (!Send(Message(ComposeHeader(5)))) return false;
  }
  return true;
}

void Session::WriteLoop() {
  const Options& o = recorder->options;
  const auto period = std::chrono::nanoseconds(1000000000LL / o.fps);
  std::vector<int> position(static_cast<size_t>(o.channels), 0);
  std::vector<Scenes::Follower> followers(static_cast<size_t>(o.channels));
  std::vector<std::shared_ptr<const LiveFrame>> liveFrames;
  bool live = false;
  int tick = 0;
  Clock::time_point next = Clock::now();
  std::unique_lock<std::mutex> lock(mutex);
  while (!closing && !recorder->stopping) {
    const auto due = [&] {
      return closing || recorder->stopping || !outbox.empty() || (!live && liveStarted);
    };
    const Clock::time_point until = live ? next : liveDeadline;
    if (until == Clock::time_point::max()) {
      wake.wait(lock, due);
    } else {
      wake.wait_until(lock, until, due);
    }
    if (closing || recorder->stopping) break;
    bool ok = true;
    while (ok && !outbox.empty()) {
      Bytes m = std::move(outbox.front());
      outbox.pop_front();
      lock.unlock();
      ok = Send(m);
      lock.lock();
    }
    if (!ok) break;
    if (!live && (liveStarted || Clock::now() >= liveDeadline)) {
      live = true;
      lock.unlock();
      ok = SendOnceFaults();
      lock.lock();
      if (!ok) break;
      next = Clock::now();
    }
    if (!live || Clock::now() < next) continue;
    if (recorder->paused) {
      next += period;
      if (next < Clock::now()) next = Clock::now() + period;
      continue;
    }

    const uint16_t selected = maskSet ? mask : 0xFFFF;
    const uint16_t restart = rewind;
    rewind = 0;
    lock.unlock();
    const uint32_t held = recorder->pausedChannels.load();
    const bool truncate = recorder->faults.Has(Fault::kTruncatedFrame) && tick == kTruncateAtTick;
    for (int c = 0; ok && c < o.channels; ++c) {
      if (!(selected & (1u << c)) || (held & (1u << c))) continue;
      const auto& loop = recorder->loops[c];
      int& pos = position[c];
      Scenes::Follower& follower = followers[c];
      const bool wasLive = follower.live;
      if (!truncate && recorder->scenes &&
          recorder->scenes->Take(c, &follower, (restart & (1u << c)) != 0, &liveFrames)) {
        for (const auto& f : liveFrames) {
          if (!(ok = Send(FrameMessage(static_cast<uint8_t>(c), f->frame)))) break;
        }
        continue;
      }
      if (wasLive) {
        // Back from the live stream: the loop must go on from a key frame.
        const int gop = std::max(o.gop, 1);
        pos = (pos + gop - 1) / gop * gop % recorder->loopLength;
      } else if (restart & (1u << c)) {
        while (pos > 0 && !loop[pos].key) --pos;
      }
      if (truncate) {
        const Bytes m = FrameMessage(static_cast<uint8_t>(c), loop[pos]);
        Send(m.data(), kHeaderSize + loop[pos].bytes.size() / 2);
        ok = false;
        break;
      }
      ok = Send(FrameMessage(static_cast<uint8_t>(c), loop[pos]));
      pos = (pos + 1) % recorder->loopLength;
    }
    lock.lock();
    if (!ok) break;
    ++tick;
    next += period;
    // A client that fell behind is not flooded to catch up.
    if (next < Clock::now()) next = Clock::now() + period;
  }
  lock.unlock();
  Close();
  writerDone = true;
}

}  // namespace zarvion::dvrsim
