// The simulated recorder's server: encodes the live loops and names the
// recordings, listens, accepts clients into sessions (session.h), carries
// the commands given to every session and reaps sessions that ended.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <sstream>
#include <thread>

#include "dvrsim/dvrsim.h"
#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "dvrsim/session.h"
#include "platform/code_page.h"

namespace zarvion::dvrsim {
namespace {

using Clock = std::chrono::steady_clock;

// Live loops cover about this long, in whole groups of pictures.
constexpr double kLoopSeconds = 2.0;
constexpr int kMaxLoopFrames = 250;
// How long `motion K` takes to cross the picture unless told.
constexpr double kDefaultMotionSeconds = 3.0;

}  // namespace

struct Server::Impl {
  Recorder recorder;
  std::string error;
  int listenFd = -1;
  uint16_t port = 0;

  mutable std::mutex sessionsMutex;
  std::list<std::unique_ptr<Session>> sessions;  // guarded by sessionsMutex
  int nextClient = 1;                            // accept thread only

  std::thread acceptThread;
  std::atomic<bool> finished{false};
  bool started = false;
  Clock::time_point startTime;

  bool Encode();
  void MakeRecordings();
  bool Listen();
  void AcceptLoop();
  void Reap(bool all);
  void Broadcast(const Bytes& message);
  void CloseAll();
  void Shutdown();
  bool SendNotice(const std::string& utf8);
};

bool Server::Impl::Encode() {
  const Options& options = recorder.options;
  const int gop = options.gop;
  int& loopLength = recorder.loopLength;
  loopLength = gop * std::max(1, static_cast<int>(kLoopSeconds * options.fps / gop + 0.5));
  // Never shorter than one group, so the loop keeps the key-frame spacing.
  if (loopLength > kMaxLoopFrames) loopLength = std::max(1, kMaxLoopFrames / gop) * gop;
  recorder.loops.assign(static_cast<size_t>(options.channels), {});
  const int workers =
      std::max(1, std::min<int>(options.channels, std::thread::hardware_concurrency()));
  std::vector<std::thread> threads;
  std::vector<std::string> errors(static_cast<size_t>(workers));
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([this, &options, w, workers, gop, loopLength, &errors] {
      Canvas canvas(kPictureWidth, kPictureHeight);
      for (int c = w; c < options.channels; c += workers) {
        Mp43Encoder encoder;
        if (!encoder.Open(options.fps, gop, options.bitrate, &errors[w])) return;
        auto& loop = recorder.loops[c];
        loop.resize(static_cast<size_t>(loopLength));
        for (int i = 0; i < loopLength; ++i) {
          DrawLivePicture(&canvas, c, i);
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
  const Options& options = recorder.options;
  const int channels = std::max(options.channels, 1);
  std::vector<std::string>& locations = recorder.locations;
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
  const Options& options = recorder.options;
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
  const Options& options = recorder.options;
  auto notices = options.noticesAfter;
  std::stable_sort(notices.begin(), notices.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t nextNotice = 0;
  while (!recorder.stopping) {
    pollfd p[2] = {{listenFd, POLLIN, 0}, {recorder.stopFd, POLLIN, 0}};
    poll(p, 2, 50);
    if (recorder.stopping) break;
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
        auto s = std::make_unique<Session>(&recorder, nextClient++, fd);
        s->Run();
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
  recorder.stopping = true;
  const uint64_t one = 1;
  if (recorder.stopFd >= 0) (void)!write(recorder.stopFd, &one, sizeof one);
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
  impl_->recorder.options = std::move(options);
}

Server::~Server() {
  Stop();
}

bool Server::Start() {
  Impl& s = *impl_;
  Recorder& r = s.recorder;
  if (s.started) {
    s.error = "already started";
    return false;
  }
  const Options& o = r.options;
  if (o.channels < 0 || o.channels > static_cast<int>(kMaxChannels) || o.fps < 1 || o.fps > 1000 ||
      o.gop < 1 || o.gop > kMaxGop || o.bitrate < 1000 || o.recordings < 0 || o.steps < 1) {
    s.error = "options out of range";
    return false;
  }
  for (const std::string& name : o.faults) {
    const std::optional<Fault> f = FaultNamed(name);
    if (!f) {
      s.error = "unknown fault " + name;
      return false;
    }
    r.faults.Add(*f);
  }
  for (size_t c = 0; c < kMaxChannels; ++c) {
    // Distinct per channel, so a client can tell the records apart.
    r.table[c] = {static_cast<uint8_t>(100 + 5 * c), static_cast<uint8_t>(3 * c),
                  static_cast<uint8_t>(40 + c), static_cast<uint8_t>(50 + c)};
  }
  if (!o.logFile.empty() && !r.log.OpenFile(o.logFile, &s.error)) return false;
  s.MakeRecordings();
  if (!s.Encode() || !s.Listen()) return false;
  Scenes::Settings scenes;
  scenes.channels = o.channels;
  scenes.fps = o.fps;
  scenes.gop = o.gop;
  scenes.bitrate = o.bitrate;
  scenes.loopLength = r.loopLength;
  scenes.wanderSeconds = o.wanderSeconds;
  r.scenes = std::make_unique<Scenes>(scenes);
  r.scenes->Start();
  r.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (r.stopFd < 0) {
    s.error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  s.started = true;
  s.startTime = Clock::now();
  r.log.CountFrom(s.startTime);
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
      impl_->recorder.paused = pause;
      return true;
    }
    // One channel, numbered as the viewer numbers them (1..16).
    char* end = nullptr;
    const long c = std::strtol(channel.c_str(), &end, 10);
    if (*end != '\0' || c < 1 || c > 16 || (in >> extra)) return false;
    const uint32_t bit = 1u << (c - 1);
    if (pause) {
      impl_->recorder.pausedChannels.fetch_or(bit);
    } else {
      impl_->recorder.pausedChannels.fetch_and(~bit);
    }
    return true;
  }
  if (verb == "motion" || verb == "light" || verb == "noise") {
    // Channels numbered as the viewer numbers them (1..16).
    std::string channel, value, extra;
    in >> channel >> value >> extra;
    char* end = nullptr;
    const long c = std::strtol(channel.c_str(), &end, 10);
    Scenes* scenes = impl_->recorder.scenes.get();
    if (channel.empty() || *end != '\0' || c < 1 || c > 16 || !extra.empty() || !scenes) {
      return false;
    }
    const int index = static_cast<int>(c - 1);
    if (verb == "motion") {
      double seconds = kDefaultMotionSeconds;
      if (!value.empty()) {
        seconds = std::strtod(value.c_str(), &end);
        if (*end != '\0') return false;
      }
      return scenes->Motion(index, seconds);
    }
    if (verb == "light") {
      if (value.empty()) return scenes->ToggleLight(index);
      if (value != "on" && value != "off") return false;
      return scenes->SetLight(index, value == "on");
    }
    const long level = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0') return false;
    return scenes->Noise(index, static_cast<int>(std::clamp(level, -1L, 1000L)));
  }
  if (verb == "close" && !(in >> verb)) {
    impl_->CloseAll();
    return true;
  }
  return false;
}

std::vector<LoggedMessage> Server::Messages() const {
  return impl_->recorder.log.Messages();
}

bool Server::WaitFor(std::function<bool(const LoggedMessage&)> match, int timeoutMs) const {
  return impl_->recorder.log.WaitFor(match, timeoutMs);
}

int Server::ConnectedClients() const {
  std::lock_guard<std::mutex> lock(impl_->sessionsMutex);
  return static_cast<int>(std::count_if(impl_->sessions.begin(), impl_->sessions.end(),
                                        [](const auto& s) { return !s->closing; }));
}

std::vector<std::string> Server::RecordingLocations() const {
  return impl_->recorder.locations;
}

bool Server::Finished() const {
  return impl_->finished || impl_->recorder.stopping;
}

void Server::Stop() {
  Impl& s = *impl_;
  if (s.started) {
    s.started = false;
    s.Shutdown();
    if (s.acceptThread.joinable()) s.acceptThread.join();
    s.Reap(true);
  }
  if (s.recorder.scenes) s.recorder.scenes->Stop();
  if (s.listenFd >= 0) close(s.listenFd);
  if (s.recorder.stopFd >= 0) close(s.recorder.stopFd);
  s.listenFd = s.recorder.stopFd = -1;
  s.recorder.log.CloseFile();
}

}  // namespace zarvion::dvrsim
