// The simulated recorder. Each client gets two threads: a reader that logs
// and answers every request, and a writer that is the only one to send on
// the socket (queued replies first, then the live frames due at each tick).
// One slow client therefore only ever blocks its own writer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "dvrsim/dvrsim.h"
#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "platform/code_page.h"

namespace zarvion::dvrsim {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Requests never carry more than this; anything larger is hostile and ends
// the session instead of making the reader allocate it.
constexpr uint32_t kMaxLoginPayload = 4096;
constexpr uint32_t kMaxPlayRecords = 16;
// Live loops cover about this long, in whole groups of pictures.
constexpr double kLoopSeconds = 2.0;
constexpr int kMaxLoopFrames = 250;
// How long the live video waits for the picture-settings query that a
// session announcing picture settings expects next.
constexpr auto kParamQueryWait = std::chrono::milliseconds(1000);
// The tick at which the truncated-frame fault cuts the connection.
constexpr int kTruncateAtTick = 5;
constexpr size_t kOversizeLength = kFrameBufferSize + 4096;
constexpr size_t kLongNoticeBytes = 3000;
constexpr uint32_t kBigParamRecords = 40;

const char* CodeName(uint8_t code) {
  switch (code) {
    case kSessionQuery:
      return "SessionQuery";
    case kFileListRequest:
      return "FileListRequest";
    case kPlayFileRequest:
      return "PlayFileRequest";
    case kSelectChannels:
      return "SelectChannels";
    case kPlaybackStep:
      return "PlaybackStep";
    case kPlaybackStop:
      return "PlaybackStop";
    case kLogin:
      return "Login";
    case kVideoParamQuery:
      return "VideoParamQuery";
    case kVideoParamSet:
      return "VideoParamSet";
    default:
      return "unknown";
  }
}

Bytes Message(const MessageHeader& h, const uint8_t* payload = nullptr, size_t size = 0) {
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

std::string Hex(const Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (uint8_t v : b) {
    s += digits[v >> 4];
    s += digits[v & 15];
  }
  return s;
}

std::string JsonLine(const LoggedMessage& m, double seconds) {
  const MessageHeader& h = m.header;
  std::ostringstream o;
  o << "{\"t\":" << seconds << ",\"client\":" << m.client << ",\"code\":" << int{h.code}
    << ",\"name\":\"" << CodeName(h.code) << "\",\"channel\":" << int{h.channel}
    << ",\"param0\":" << h.param0 << ",\"param1\":" << h.param1 << ",\"param2\":" << h.param2
    << ",\"param3\":" << h.param3 << ",\"param4\":" << h.param4 << ",\"length\":" << h.length
    << ",\"checksum\":" << h.checksum
    << ",\"checksumValid\":" << (m.checksumValid ? "true" : "false") << ",\"payload\":\""
    << Hex(m.payload) << "\"}\n";
  return o.str();
}

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

struct Session;

struct Server::Impl {
  Options options;
  std::string error;
  int listenFd = -1;
  int stopFd = -1;
  uint16_t port = 0;
  std::set<std::string> faults;
  bool Fault(const char* name) const { return faults.count(name) != 0; }

  int loopLength = 0;
  std::vector<std::vector<EncodedFrame>> loops;  // per channel
  std::vector<std::string> locations;

  mutable std::mutex tableMutex;
  std::array<VideoParamRecord, kMaxChannels> table{};

  mutable std::mutex logMutex;
  mutable std::condition_variable logChanged;
  std::vector<LoggedMessage> log;
  FILE* logFile = nullptr;

  mutable std::mutex sessionsMutex;
  std::list<std::unique_ptr<Session>> sessions;
  int nextClient = 1;

  std::thread acceptThread;
  std::atomic<bool> stopping{false};
  std::atomic<bool> finished{false};
  // Live frames held back (the sessions stay open): a recorder whose
  // cameras stall.
  std::atomic<bool> paused{false};
  // Channels held back on their own (bit c - 1 for channel c): a camera
  // that stalls while the others go on.
  std::atomic<uint32_t> pausedChannels{0};
  bool started = false;
  Clock::time_point startTime;

  bool Encode();
  void MakeRecordings();
  bool Listen();
  void AcceptLoop();
  void Reap(bool all);
  void Record(LoggedMessage m);
  void Broadcast(const Bytes& message);
  void CloseAll();
  void Shutdown();
  bool SendNotice(const std::string& utf8);
};

struct Session {
  Server::Impl* server;
  int id;
  int fd;
  std::thread reader, writer;
  std::atomic<bool> readerDone{false}, writerDone{false};
  std::atomic<bool> closing{false};

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Bytes> outbox;
  bool loggedIn = false;
  bool liveStarted = false;
  Clock::time_point liveDeadline = Clock::time_point::max();
  bool maskSet = false;
  uint16_t mask = 0;
  uint16_t rewind = 0;  // channels that must restart at a key frame

  // Reader-only playback state.
  int playing = -1;
  std::unique_ptr<Mp43Encoder> playEncoder;
  int64_t lastStep = -2;

  Session(Server::Impl* s, int client, int socket) : server(s), id(client), fd(socket) {}

  void Queue(Bytes message) {
    std::lock_guard<std::mutex> lock(mutex);
    outbox.push_back(std::move(message));
    wake.notify_all();
  }
  void StartLive() {
    std::lock_guard<std::mutex> lock(mutex);
    liveStarted = true;
    wake.notify_all();
  }
  // Ends our direction only: the peer still reads everything sent so far,
  // and the reader keeps draining until the peer closes its side too.
  void Close() {
    if (!closing.exchange(true)) shutdown(fd, SHUT_WR);
    std::lock_guard<std::mutex> lock(mutex);
    wake.notify_all();
  }
  void Abort() {
    closing = true;
    shutdown(fd, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(mutex);
    wake.notify_all();
  }

  bool Send(const uint8_t* data, size_t count);
  bool Send(const Bytes& m) { return Send(m.data(), m.size()); }
  void ReadLoop();
  void WriteLoop();
  bool Handle(const MessageHeader& h, const Bytes& payload);
  void Step(uint32_t step);
  bool SendOnceFaults();
};

bool Session::Send(const uint8_t* data, size_t count) {
  const bool trickle = server->Fault("trickle");
  size_t done = 0;
  while (done < count) {
    if (closing || server->stopping) return false;
    const size_t chunk = trickle ? 1 : count - done;
    const ssize_t n = send(fd, data + done, chunk, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      if (trickle) std::this_thread::sleep_for(std::chrono::microseconds(50));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!Writable(fd, server->stopFd)) return false;
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
  while (ReceiveAll(fd, server->stopFd, raw, sizeof raw)) {
    const MessageHeader h = MessageHeader::Decode(raw);
    Bytes payload;
    if (h.code == kLogin) {
      if (h.length > kMaxLoginPayload) break;
      payload.resize(h.length);
    } else if (h.code == kPlayFileRequest) {
      if (h.length > kMaxPlayRecords) break;
      payload.resize(size_t{h.length} * kFileRecordSize);
    }
    if (!payload.empty() && !ReceiveAll(fd, server->stopFd, payload.data(), payload.size())) break;
    // Logged once handled: whoever waits for a request in the log may rely
    // on its effect (a changed table, a queued reply).
    const bool keep = closing || Handle(h, payload);
    server->Record({id, h, h.ChecksumValid(), payload});
    if (!keep) Close();
  }
  Close();
  readerDone = true;
}

// Answers one request; false ends the session.
bool Session::Handle(const MessageHeader& h, const Bytes& payload) {
  const Options& o = server->options;
  switch (h.code) {
    case kLogin: {
      if (server->Fault("close-after-login")) return false;
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
      if (server->Fault("wrong-first-reply")) {
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
      const uint32_t n =
          server->Fault("big-param-table") ? kBigParamRecords : static_cast<uint32_t>(o.channels);
      Bytes records(n * kVideoParamRecordSize);
      {
        std::lock_guard<std::mutex> lock(server->tableMutex);
        for (uint32_t j = 0; j < n; ++j) {
          const VideoParamRecord& r = server->table[j % kMaxChannels];
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
      const auto& locations = server->locations;
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
      const auto& locations = server->locations;
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
      std::lock_guard<std::mutex> lock(server->tableMutex);
      for (int c = 0; c < o.channels; ++c) {
        if (h.channel != 0 && h.channel != c + 1) continue;
        VideoParamRecord& r = server->table[c];
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
  const Options& o = server->options;
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
  const EncodedFrame* first = server->loops.empty() ? nullptr : &server->loops[0][0];
  if (server->Fault("oversize-frame")) {
    const Bytes junk(kOversizeLength, 0x5A);
    if (!Send(Message(ComposeVideoFrame(0, 0, kOversizeLength), junk.data(), junk.size())))
      return false;
  }
  if (server->Fault("channel-out-of-range") && first) {
    if (!Send(FrameMessage(20, *first))) return false;
  }
  if (server->Fault("long-notice")) {
    const Bytes text(kLongNoticeBytes, 'N');
    if (!Send(Message(ComposeServerNotice(kLongNoticeBytes), text.data(), text.size())))
      return false;
  }
  if (server->Fault("unknown-code")) {
    if (!Send(Message(ComposeHeader(5)))) return false;
  }
  return true;
}

void Session::WriteLoop() {
  const Options& o = server->options;
  const auto period = std::chrono::nanoseconds(1000000000LL / o.fps);
  std::vector<int> position(static_cast<size_t>(o.channels), 0);
  bool live = false;
  int tick = 0;
  Clock::time_point next = Clock::now();
  std::unique_lock<std::mutex> lock(mutex);
  while (!closing && !server->stopping) {
    const auto due = [&] {
      return closing || server->stopping || !outbox.empty() || (!live && liveStarted);
    };
    const Clock::time_point until = live ? next : liveDeadline;
    if (until == Clock::time_point::max()) {
      wake.wait(lock, due);
    } else {
      wake.wait_until(lock, until, due);
    }
    if (closing || server->stopping) break;
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
    if (server->paused) {
      next += period;
      if (next < Clock::now()) next = Clock::now() + period;
      continue;
    }

    const uint16_t selected = maskSet ? mask : 0xFFFF;
    const uint16_t restart = rewind;
    rewind = 0;
    lock.unlock();
    const uint32_t held = server->pausedChannels.load();
    for (int c = 0; ok && c < o.channels; ++c) {
      if (!(selected & (1u << c)) || (held & (1u << c))) continue;
      const auto& loop = server->loops[c];
      int& pos = position[c];
      if (restart & (1u << c)) {
        while (pos > 0 && !loop[pos].key) --pos;
      }
      if (server->Fault("truncated-frame") && tick == kTruncateAtTick) {
        const Bytes m = FrameMessage(static_cast<uint8_t>(c), loop[pos]);
        Send(m.data(), kHeaderSize + loop[pos].bytes.size() / 2);
        ok = false;
        break;
      }
      ok = Send(FrameMessage(static_cast<uint8_t>(c), loop[pos]));
      pos = (pos + 1) % server->loopLength;
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

void Server::Impl::Record(LoggedMessage m) {
  std::lock_guard<std::mutex> lock(logMutex);
  if (logFile) {
    const double seconds = std::chrono::duration<double>(Clock::now() - startTime).count();
    const std::string line = JsonLine(m, seconds);
    std::fwrite(line.data(), 1, line.size(), logFile);
    std::fflush(logFile);
  }
  log.push_back(std::move(m));
  logChanged.notify_all();
}

bool Server::Impl::Encode() {
  const int gop = options.gop;
  loopLength = gop * std::max(1, static_cast<int>(kLoopSeconds * options.fps / gop + 0.5));
  // Never shorter than one group, so the loop keeps the key-frame spacing.
  if (loopLength > kMaxLoopFrames) loopLength = std::max(1, kMaxLoopFrames / gop) * gop;
  loops.assign(static_cast<size_t>(options.channels), {});
  const int workers =
      std::max(1, std::min<int>(options.channels, std::thread::hardware_concurrency()));
  std::vector<std::thread> threads;
  std::vector<std::string> errors(static_cast<size_t>(workers));
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([this, w, workers, gop, &errors] {
      Canvas canvas(kPictureWidth, kPictureHeight);
      for (int c = w; c < options.channels; c += workers) {
        Mp43Encoder encoder;
        if (!encoder.Open(options.fps, gop, options.bitrate, &errors[w])) return;
        auto& loop = loops[c];
        loop.resize(static_cast<size_t>(loopLength));
        for (int i = 0; i < loopLength; ++i) {
          DrawLivePicture(&canvas, c, i, loopLength);
          if (!encoder.Encode(canvas, i % gop == 0, &loop[i])) {
            errors[w] = "encoding failed";
            return;
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& e : errors) {
    if (!e.empty()) {
      error = e;
      return false;
    }
  }
  return true;
}

void Server::Impl::MakeRecordings() {
  using namespace std::chrono;
  const int channels = std::max(options.channels, 1);
  locations.clear();
  for (int i = 0; i < options.recordings; ++i) {
    const year_month_day day{sys_days{year{2007} / May / 12} + days{i}};
    char text[64];
    std::snprintf(text, sizeof text, "CH%02d_%04d_%02u_%02u_%02d_%02d_%02d.avi",
                  (2 + i * 5) % channels + 1, static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()),
                  (10 + i * 3) % 24, (20 + i * 7) % 60, (30 + i * 13) % 60);
    locations.emplace_back(text);
  }
}

bool Server::Impl::Listen() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options.port);
  if (inet_pton(AF_INET, options.bind.c_str(), &addr.sin_addr) != 1) {
    error = "not an IPv4 address: " + options.bind;
    return false;
  }
  listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      listen(listenFd, 16) < 0) {
    error = "cannot listen on " + options.bind + ":" + std::to_string(options.port) + ": " +
            std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return true;
}

void Server::Impl::AcceptLoop() {
  auto notices = options.noticesAfter;
  std::stable_sort(notices.begin(), notices.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t nextNotice = 0;
  while (!stopping) {
    pollfd p[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    poll(p, 2, 50);
    if (stopping) break;
    const double elapsed = std::chrono::duration<double>(Clock::now() - startTime).count();
    if (options.durationSeconds > 0 && elapsed >= options.durationSeconds) {
      finished = true;
      Shutdown();
      break;
    }
    while (nextNotice < notices.size() && notices[nextNotice].first <= elapsed) {
      SendNotice(notices[nextNotice++].second);
    }
    if (p[0].revents & POLLIN) {
      const int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(sessionsMutex);
        auto s = std::make_unique<Session>(this, nextClient++, fd);
        Session* raw = s.get();
        raw->reader = std::thread([raw] { raw->ReadLoop(); });
        raw->writer = std::thread([raw] { raw->WriteLoop(); });
        sessions.push_back(std::move(s));
      }
    }
    Reap(false);
  }
}

void Server::Impl::Reap(bool all) {
  std::list<std::unique_ptr<Session>> done;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex);
    for (auto it = sessions.begin(); it != sessions.end();) {
      if (all || ((*it)->readerDone && (*it)->writerDone)) {
        done.push_back(std::move(*it));
        it = sessions.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : done) {
    if (all) s->Abort();
    if (s->reader.joinable()) s->reader.join();
    if (s->writer.joinable()) s->writer.join();
    close(s->fd);
  }
}

void Server::Impl::Broadcast(const Bytes& message) {
  std::lock_guard<std::mutex> lock(sessionsMutex);
  for (auto& s : sessions) {
    if (!s->closing) s->Queue(message);
  }
}

void Server::Impl::CloseAll() {
  std::lock_guard<std::mutex> lock(sessionsMutex);
  for (auto& s : sessions) s->Close();
}

void Server::Impl::Shutdown() {
  stopping = true;
  const uint64_t one = 1;
  if (stopFd >= 0) (void)!write(stopFd, &one, sizeof one);
  std::lock_guard<std::mutex> lock(sessionsMutex);
  for (auto& s : sessions) s->Abort();
}

bool Server::Impl::SendNotice(const std::string& utf8) {
  // The client shows at most 1023 bytes and needs the NUL within 1024.
  auto gbk = Utf8ToGbk(utf8, kServerTextSize - 1, Cut::kWholeCharacters);
  if (!gbk) return false;
  Bytes text(gbk->begin(), gbk->end());
  text.push_back(0);
  Broadcast(
      Message(ComposeServerNotice(static_cast<uint32_t>(text.size())), text.data(), text.size()));
  return true;
}

Server::Server(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
}

Server::~Server() {
  Stop();
}

bool Server::Start() {
  Impl& s = *impl_;
  if (s.started) {
    s.error = "already started";
    return false;
  }
  const Options& o = s.options;
  if (o.channels < 0 || o.channels > static_cast<int>(kMaxChannels) || o.fps < 1 || o.fps > 1000 ||
      o.gop < 1 || o.gop > kMaxGop || o.bitrate < 1000 || o.recordings < 0 || o.steps < 1) {
    s.error = "options out of range";
    return false;
  }
  for (const std::string& f : o.faults) {
    if (std::find(KnownFaults().begin(), KnownFaults().end(), f) == KnownFaults().end()) {
      s.error = "unknown fault " + f;
      return false;
    }
    s.faults.insert(f);
  }
  for (size_t c = 0; c < kMaxChannels; ++c) {
    // Distinct per channel, so a client can tell the records apart.
    s.table[c] = {static_cast<uint8_t>(100 + 5 * c), static_cast<uint8_t>(3 * c),
                  static_cast<uint8_t>(40 + c), static_cast<uint8_t>(50 + c)};
  }
  if (!o.logFile.empty()) {
    s.logFile = std::fopen(o.logFile.c_str(), "w");
    if (!s.logFile) {
      s.error = "cannot write " + o.logFile + ": " + std::strerror(errno);
      return false;
    }
  }
  s.MakeRecordings();
  if (!s.Encode() || !s.Listen()) return false;
  s.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.stopFd < 0) {
    s.error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  s.started = true;
  s.startTime = Clock::now();
  s.acceptThread = std::thread([&s] { s.AcceptLoop(); });
  return true;
}

std::string Server::Error() const {
  return impl_->error;
}
uint16_t Server::Port() const {
  return impl_->port;
}

bool Server::Command(const std::string& input) {
  std::string line = input;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb == "view") {
    std::string kind, rest;
    int n = -1;
    in >> kind >> n;
    if (!in || (in >> rest) || n < 0 || n > 255 || (kind != "single" && kind != "grid"))
      return false;
    impl_->Broadcast(Message(ComposeSelectView(kind == "single", static_cast<uint8_t>(n))));
    return true;
  }
  if (verb == "notice") {
    const size_t at = line.find("notice") + 6;
    return impl_->SendNotice(at < line.size() ? line.substr(at + 1) : std::string());
  }
  if (verb == "pause" || verb == "resume") {
    const bool pause = verb == "pause";
    std::string channel, extra;
    if (!(in >> channel)) {
      impl_->paused = pause;
      return true;
    }
    // One channel, numbered as the viewer numbers them (1..16).
    char* end = nullptr;
    const long c = std::strtol(channel.c_str(), &end, 10);
    if (*end != '\0' || c < 1 || c > 16 || (in >> extra)) return false;
    const uint32_t bit = 1u << (c - 1);
    if (pause) {
      impl_->pausedChannels.fetch_or(bit);
    } else {
      impl_->pausedChannels.fetch_and(~bit);
    }
    return true;
  }
  if (verb == "close" && !(in >> verb)) {
    impl_->CloseAll();
    return true;
  }
  return false;
}

std::vector<LoggedMessage> Server::Messages() const {
  std::lock_guard<std::mutex> lock(impl_->logMutex);
  return impl_->log;
}

bool Server::WaitFor(std::function<bool(const LoggedMessage&)> match, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(impl_->logMutex);
  size_t checked = 0;
  return impl_->logChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (; checked < impl_->log.size(); ++checked) {
      if (match(impl_->log[checked])) return true;
    }
    return false;
  });
}

int Server::ConnectedClients() const {
  std::lock_guard<std::mutex> lock(impl_->sessionsMutex);
  return static_cast<int>(std::count_if(impl_->sessions.begin(), impl_->sessions.end(),
                                        [](const auto& s) { return !s->closing; }));
}

std::vector<std::string> Server::RecordingLocations() const {
  return impl_->locations;
}

bool Server::Finished() const {
  return impl_->finished || impl_->stopping;
}

void Server::Stop() {
  Impl& s = *impl_;
  if (s.started) {
    s.started = false;
    s.Shutdown();
    if (s.acceptThread.joinable()) s.acceptThread.join();
    s.Reap(true);
  }
  if (s.listenFd >= 0) close(s.listenFd);
  if (s.stopFd >= 0) close(s.stopFd);
  s.listenFd = s.stopFd = -1;
  std::lock_guard<std::mutex> lock(s.logMutex);
  if (s.logFile) std::fclose(s.logFile);
  s.logFile = nullptr;
}

}  // namespace zarvion::dvrsim
