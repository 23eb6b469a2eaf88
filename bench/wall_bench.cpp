// zarvion-bench-wall: the whole viewer process on a live wall of 16 channels,
// beside a bare decode of the same packets (floor) and an FFmpeg mosaic of
// them, all measured in the same run.
//
//   zarvion-bench-wall [--seconds 20] [--warmup 3] [--runs 3] [--json FILE]
//                      [--scenarios grid,server-single,clicked-single]
//
// Per run and scenario the simulated recorder runs in its own process, the
// viewer in another (this program with --viewer), on its own X server when
// Xvfb is installed, else offscreen. The viewer records the packets of its
// warm-up through its own recording; floor and mosaic decode those files.
// Figures are medians over the runs; the last lines printed are one line of
// key=value pairs per scenario, and the same goes to the JSON file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QCursor>
#include <QPoint>
#include <QTimer>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "shell/control_host.h"
#include "shell/zarvinet.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"
#include "window/control_window.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kVideoWidth = 1920;
constexpr int kVideoHeight = 1060;
constexpr int kChannels = 16;
constexpr int kFps = 25;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// CPU seconds (user + system) of a process, all threads, from /proc.
double ProcessCpu(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  // Fields after the name: state is 3; utime 14, stime 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atof(field.c_str());
    if (i == 15) stime = std::atof(field.c_str());
  }
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double SelfCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
         u.ru_stime.tv_usec / 1e6;
}

int SelfThreads() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return 0;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
  return v[i];
}

double Median(std::vector<double> v) {
  return Percentile(std::move(v), 0.5);
}

// ---- The viewer side ------------------------------------------------------

// Frames from arrival to the paint that shows them. Arrival times go into a
// ring (one writer: the connection thread); a composition marks how many had
// arrived, the window's take of the changes keeps the last mark, and the
// paint after it accounts for every frame up to that mark.
class Trace : public zarvion::FrameTrace {
 public:
  static constexpr size_t kRing = 1 << 16;

  void Received(int slot, const uint8_t*, uint32_t, uint16_t) override {
    const uint64_t n = received_.load(std::memory_order_relaxed);
    // Frames of channels the view does not show are decoded but never
    // shown: they have no latency to the screen.
    const bool shown = slot >= 0 && slot < 32 && (shownSlots_.load() >> slot & 1u);
    arrival_[n % kRing] = shown ? NowNs() : -1;
    received_.store(n + 1, std::memory_order_release);
  }
  void Composed() override {
    composed_.store(received_.load(std::memory_order_acquire), std::memory_order_release);
  }
  void Taken() override { taken_ = composed_.load(std::memory_order_acquire); }
  void Shown() override {
    const int64_t now = NowNs();
    const uint64_t upTo = taken_;
    presents_ += 1;
    for (; shown_ < upTo; ++shown_) {
      if (arrival_[shown_ % kRing] < 0) continue;
      // Only frames that arrived while measuring count: the ones before
      // arrived under the warm-up's view and its shown channels.
      if (measuring_ && shown_ >= received0_ && latencies_.size() < latencies_.capacity()) {
        latencies_.push_back(static_cast<double>(now - arrival_[shown_ % kRing]) / 1e6);
      }
    }
  }
  void Start() {
    latencies_.clear();
    latencies_.reserve(1 << 16);
    presents_ = 0;
    received0_ = received_.load();
    measuring_ = true;
  }
  uint64_t Received() const { return received_.load() - received0_; }
  // The slots (bit per slot) whose frames the view shows.
  void SetShownSlots(uint32_t mask) { shownSlots_ = mask; }
  uint64_t Presents() const { return presents_; }
  const std::vector<double>& Latencies() const { return latencies_; }

 private:
  std::vector<int64_t> arrival_ = std::vector<int64_t>(kRing);
  std::atomic<uint64_t> received_{0};
  std::atomic<uint32_t> shownSlots_{0xFFFFFFFFu};
  std::atomic<uint64_t> composed_{0};
  uint64_t received0_ = 0;
  // GUI thread only.
  uint64_t taken_ = 0;
  uint64_t shown_ = 0;
  uint64_t presents_ = 0;
  bool measuring_ = false;
  std::vector<double> latencies_;
};

struct ViewerArgs {
  std::string port;
  std::string scenario = "grid";
  double seconds = 20;
  double warmup = 3;
  std::string recordDir;
  pid_t xServer = 0;
};

int RunViewer(int argc, char** argv, const ViewerArgs& a) {
  QApplication app(argc, argv);
  zarvion::Zarvinet control;
  zarvion::ControlWindowOptions options;
  // The double-click of the clicked scenario lands in the middle of pane 0.
  options.cursorPos = [] { return QPoint(kVideoWidth / 8, kVideoHeight / 8); };
  std::unique_ptr<zarvion::ControlWindow> window =
      zarvion::CreateControlWindow(control, nullptr, std::move(options));
  Trace trace;
  window->SetFrameTrace(&trace);
  window->resize(kVideoWidth, kVideoHeight + zarvion::kToolbarStrip);
  window->show();

  auto& obj = control.Object();
  // Connect as a host script would.
  const std::u16string port(a.port.begin(), a.port.end());
  control.ConnectServer(zarvion::Variant::Bstr(u"127.0.0.1"), zarvion::Variant::Bstr(port),
                        zarvion::Variant::Bstr(u"bench"));

  const bool clicked = a.scenario == "clicked-single";
  double cpu0 = 0, x0 = 0;
  int64_t t0 = 0;
  auto recordAll = [&](bool start) {
    for (int slot = 0; slot < kChannels; ++slot) {
      if (clicked && slot != 0) continue;
      zarvion::CChannelDecoder* d = window->Decoder(slot);
      if (!d) continue;
      if (start) {
        d->recordFolder = [dir = a.recordDir] { return dir; };
        d->StartRecording();
      } else {
        d->StopRecording();
      }
    }
  };

  // Wait for frames, then (clicked) double-click pane 0, record the warm-up,
  // then measure.
  QTimer poll;
  int stage = 0;
  int64_t stageAt = NowNs();
  QObject::connect(&poll, &QTimer::timeout, [&] {
    const int64_t now = NowNs();
    const double since = (now - stageAt) / 1e9;
    if (stage == 0) {
      if (trace.Received() < 2 * kChannels && since < 20) return;
      std::printf("ready\n");
      std::fflush(stdout);
      if (clicked) window->OnDoubleClick();
      stage = 1;
      stageAt = now;
    } else if (stage == 1 && since >= 0.5) {
      if (!a.recordDir.empty()) recordAll(true);
      stage = 2;
      stageAt = now;
    } else if (stage == 2 && since >= a.warmup) {
      if (!a.recordDir.empty()) recordAll(false);
      const zarvion::View view = zarvion::ClassifyDrawMode(obj.dwDrawMode.load());
      trace.SetShownSlots(view.kind == zarvion::ViewKind::kSingle ? 1u << view.slot : 0xFFFFu);
      trace.Start();
      cpu0 = SelfCpu();
      x0 = a.xServer ? ProcessCpu(a.xServer) : 0;
      t0 = now;
      stage = 3;
      stageAt = now;
      // The measured viewer wakes for the benchmark's sake only rarely.
      poll.setInterval(200);
    } else if (stage == 3 && since >= a.seconds) {
      const double cpu = SelfCpu() - cpu0;
      const double x = a.xServer ? ProcessCpu(a.xServer) - x0 : 0;
      const double wall = (now - t0) / 1e9;
      rusage u{};
      getrusage(RUSAGE_SELF, &u);
      const auto& lat = trace.Latencies();
      const double frames = static_cast<double>(trace.Received());
      std::printf(
          "result decoded=%.0f wall_s=%.3f client_cpu_s=%.4f x_cpu_s=%.4f presents=%llu "
          "lat_p50_ms=%.2f lat_p99_ms=%.2f lat_max_ms=%.2f rss_mb=%.1f threads=%d "
          "draw_mode=0x%x\n",
          frames, wall, cpu, x, static_cast<unsigned long long>(trace.Presents()),
          Percentile(lat, 0.5), Percentile(lat, 0.99), Percentile(lat, 1.0), u.ru_maxrss / 1024.0,
          SelfThreads(), obj.dwDrawMode.load());
      std::fflush(stdout);
      stage = 4;
      window->SetFrameTrace(nullptr);
      app.quit();
    }
  });
  poll.start(10);
  app.exec();
  window.reset();
  return stage == 4 ? 0 : 1;
}

// ---- Processes ------------------------------------------------------------

struct Child {
  pid_t pid = 0;
  FILE* out = nullptr;  // its standard output
  FILE* in = nullptr;   // its standard input
};

Child Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool pipeIn,
            bool pipeOut, bool quiet) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  if (pipeIn && pipe(inPipe) != 0) return {};
  if (pipeOut && pipe(outPipe) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (pipeIn) {
    posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
    posix_spawn_file_actions_addclose(&fa, inPipe[1]);
  }
  if (pipeOut) {
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_addclose(&fa, outPipe[0]);
  } else if (quiet) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  if (quiet) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const std::string key = kv.substr(0, kv.find('='));
    bool replaced = false;
    for (const auto& r : env) replaced |= r.substr(0, r.find('=')) == key;
    if (!replaced) envStore.push_back(kv);
  }
  for (const auto& r : env) envStore.push_back(r);
  std::vector<char*> envp;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);
  Child c;
  if (posix_spawnp(&c.pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) c.pid = 0;
  posix_spawn_file_actions_destroy(&fa);
  if (pipeIn) {
    close(inPipe[0]);
    c.in = fdopen(inPipe[1], "w");
  }
  if (pipeOut) {
    close(outPipe[1]);
    c.out = fdopen(outPipe[0], "r");
  }
  return c;
}

void Stop(Child& c) {
  if (c.in) fclose(c.in);
  c.in = nullptr;
  if (c.pid > 0) {
    kill(c.pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
        c.pid = 0;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (c.pid > 0) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
    }
  }
  if (c.out) fclose(c.out);
  c.out = nullptr;
  c.pid = 0;
}

std::string ReadLine(FILE* f) {
  char buffer[4096];
  if (!f || !fgets(buffer, sizeof buffer, f)) return {};
  std::string s = buffer;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::map<std::string, std::string> Pairs(const std::string& line) {
  std::map<std::string, std::string> m;
  std::istringstream in(line);
  std::string word;
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq != std::string::npos) m[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return m;
}

bool Executable(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// An X server of our own, so its CPU can be read apart.
struct XServer {
  Child child;
  std::string display;
};

XServer StartXvfb() {
  XServer x;
  if (!Executable("Xvfb")) return x;
  for (int n = 90 + (getpid() % 50); n < 200; ++n) {
    const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
    const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
    if (access(sock.c_str(), F_OK) == 0 || access(lock.c_str(), F_OK) == 0) continue;
    x.child =
        Spawn({"Xvfb", ":" + std::to_string(n), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"},
              {}, false, false, true);
    if (x.child.pid <= 0) return XServer{};
    for (int i = 0; i < 500 && access(sock.c_str(), F_OK) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (access(sock.c_str(), F_OK) != 0) {
      Stop(x.child);
      continue;
    }
    x.display = ":" + std::to_string(n);
    return x;
  }
  return XServer{};
}

// ---- Floor and mosaic -----------------------------------------------------

// The video chunks of one of our AVI files, in file order.
std::vector<std::vector<uint8_t>> ReadAviFrames(const fs::path& file) {
  std::ifstream f(file, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<std::vector<uint8_t>> frames;
  auto le32 = [&](size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
  };
  size_t movi = std::string::npos;
  for (size_t i = 12; i + 12 <= b.size(); ++i) {
    if (std::memcmp(&b[i], "LIST", 4) == 0 && std::memcmp(&b[i + 8], "movi", 4) == 0) {
      movi = i;
      break;
    }
  }
  if (movi == std::string::npos) return frames;
  const size_t end = std::min(b.size(), movi + 8 + le32(movi + 4));
  for (size_t at = movi + 12; at + 8 <= end;) {
    const uint32_t size = le32(at + 4);
    if (at + 8 + size > end) break;
    if (b[at + 2] == 'd' && (b[at + 3] == 'c' || b[at + 3] == 'b') && size > 0) {
      frames.emplace_back(b.begin() + at + 8, b.begin() + at + 8 + size);
    }
    at += 8 + size + (size & 1);
  }
  return frames;
}

// CPU microseconds per frame of a bare one-thread decode, no conversion.
// `interleaved`: the channels' frames in turn, one decoder each, as they
// arrive live (and as the mosaic reads them); else one channel after the
// other, which keeps a single decoder's pictures in the caches.
double FloorUs(const std::vector<fs::path>& files, bool interleaved) {
  std::vector<std::vector<std::vector<uint8_t>>> channels;
  size_t frames = 0, longest = 0;
  for (const auto& f : files) {
    channels.push_back(ReadAviFrames(f));
    frames += channels.back().size();
    longest = std::max(longest, channels.back().size());
  }
  if (frames == 0) return 0;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSMPEG4V3);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<uint8_t> padded;
  size_t decoded = 0;
  auto decode = [&](AVCodecContext* ctx, const std::vector<uint8_t>& data) {
    padded.assign(data.begin(), data.end());
    padded.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt->data = padded.data();
    pkt->size = static_cast<int>(data.size());
    if (avcodec_send_packet(ctx, pkt) < 0) return;
    while (avcodec_receive_frame(ctx, frame) == 0) {
      ++decoded;
      av_frame_unref(frame);
    }
  };
  rusage u0{}, u1{};
  getrusage(RUSAGE_THREAD, &u0);
  // Enough rounds for a few seconds of CPU.
  const int rounds = std::max(1, static_cast<int>(20000 / frames));
  for (int round = 0; round < rounds; ++round) {
    std::vector<AVCodecContext*> ctxs;
    for (size_t c = 0; c < channels.size(); ++c) {
      AVCodecContext* ctx = avcodec_alloc_context3(codec);
      ctx->width = 352;
      ctx->height = 288;
      ctx->thread_count = 1;
      if (avcodec_open2(ctx, codec, nullptr) < 0) avcodec_free_context(&ctx);
      ctxs.push_back(ctx);
    }
    if (interleaved) {
      for (size_t i = 0; i < longest; ++i) {
        for (size_t c = 0; c < channels.size(); ++c) {
          if (ctxs[c] && i < channels[c].size()) decode(ctxs[c], channels[c][i]);
        }
      }
    } else {
      for (size_t c = 0; c < channels.size(); ++c) {
        if (!ctxs[c]) continue;
        for (const auto& data : channels[c]) decode(ctxs[c], data);
      }
    }
    for (AVCodecContext*& ctx : ctxs) avcodec_free_context(&ctx);
  }
  getrusage(RUSAGE_THREAD, &u1);
  pkt->data = nullptr;
  av_packet_free(&pkt);
  av_frame_free(&frame);
  const double us = (u1.ru_utime.tv_sec - u0.ru_utime.tv_sec) * 1e6 +
                    (u1.ru_utime.tv_usec - u0.ru_utime.tv_usec) +
                    (u1.ru_stime.tv_sec - u0.ru_stime.tv_sec) * 1e6 +
                    (u1.ru_stime.tv_usec - u0.ru_stime.tv_usec);
  return decoded ? us / static_cast<double>(decoded) : 0;
}

// Runs ffmpeg with -benchmark; CPU microseconds per input frame.
double FfmpegUs(const std::vector<std::string>& middle, size_t inputFrames) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin",  "-loglevel",
                                   "info",   "-nostats",     "-benchmark"};
  argv.insert(argv.end(), middle.begin(), middle.end());
  argv.insert(argv.end(), {"-f", "null", "-"});
  // -benchmark reports on the log at the info level, on standard error.
  const std::string shell = [&] {
    std::string s = "exec";
    for (const auto& a : argv) s += " '" + a + "'";
    return s + " 2>&1";
  }();
  Child c = Spawn({"sh", "-c", shell}, {}, false, true, false);
  if (c.pid <= 0 || inputFrames == 0) return 0;
  double utime = 0, stime = 0;
  for (std::string line; !(line = ReadLine(c.out)).empty() || !feof(c.out);) {
    // bench: utime=1.234s stime=0.012s rtime=1.300s
    const size_t u = line.find("utime=");
    const size_t s = line.find("stime=");
    if (u != std::string::npos && s != std::string::npos) {
      utime = std::atof(line.c_str() + u + 6);
      stime = std::atof(line.c_str() + s + 6);
    }
  }
  int status = 0;
  waitpid(c.pid, &status, 0);
  fclose(c.out);
  return (utime + stime) * 1e6 / static_cast<double>(inputFrames);
}

// Each input is played this many times over, through the concat demuxer
// (our recordings are read straight through, without seeking).
constexpr int kLoops = 5;

fs::path Looped(const fs::path& file, int times) {
  const fs::path list = file.string() + "." + std::to_string(times) + ".txt";
  std::ofstream out(list);
  for (int i = 0; i < times; ++i) out << "file '" << file.string() << "'\n";
  return list;
}

double MosaicUs(const std::vector<fs::path>& files, size_t frames) {
  std::vector<std::string> mid = {
      "-threads", "1", "-filter_threads", "1", "-filter_complex_threads", "1"};
  for (const auto& f : files) {
    mid.insert(mid.end(),
               {"-threads", "1", "-f", "concat", "-safe", "0", "-i", Looped(f, kLoops).string()});
  }
  std::string graph, layout;
  for (size_t i = 0; i < files.size(); ++i) {
    graph += "[" + std::to_string(i) + ":v]scale=480:265,format=bgra[v" + std::to_string(i) + "];";
  }
  for (size_t i = 0; i < files.size(); ++i) graph += "[v" + std::to_string(i) + "]";
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t r = i / 4, c = i % 4;
    if (i) layout += "|";
    layout += std::to_string(c * 480) + "_" + std::to_string(r * 265);
  }
  graph += "xstack=inputs=" + std::to_string(files.size()) + ":layout=" + layout;
  mid.insert(mid.end(), {"-filter_complex", graph});
  return FfmpegUs(mid, frames * kLoops);
}

double SingleUs(const fs::path& file, size_t frames) {
  return FfmpegUs({"-threads", "1", "-filter_threads", "1", "-f", "concat", "-safe", "0", "-i",
                   Looped(file, kLoops * 4).string(), "-vf", "scale=1920:1060,format=bgra"},
                  frames * kLoops * 4);
}

// ---- The driver -----------------------------------------------------------

struct Options {
  double seconds = 20;
  double warmup = 3;
  int runs = 3;
  std::string json = "build/bench/wall.json";
  std::vector<std::string> scenarios = {"grid", "server-single", "clicked-single"};
};

using Figures = std::map<std::string, double>;

// One scenario once: recorder, viewer, then floor and the FFmpeg figure.
bool RunOnce(const std::string& self, const Options& o, const std::string& scenario, Figures* out) {
  const fs::path dir =
      fs::temp_directory_path() / ("zarvion-wall-" + std::to_string(getpid()) + "-" + scenario);
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path binDir = fs::path(self).parent_path();
  Child sim = Spawn({(binDir / "zarvion-dvrsim").string(), "--port", "0", "--channels",
                     std::to_string(kChannels), "--fps", std::to_string(kFps)},
                    {}, true, true, false);
  const std::string listening = ReadLine(sim.out);
  const size_t colon = listening.rfind(':');
  if (sim.pid <= 0 || colon == std::string::npos) {
    std::fprintf(stderr, "wall: the recorder did not start (%s)\n", listening.c_str());
    Stop(sim);
    return false;
  }
  const std::string port = listening.substr(colon + 1);

  XServer x = StartXvfb();
  std::vector<std::string> env = {"ZARVION_REGISTRY_DIR=" + (dir / "registry").string()};
  if (!x.display.empty()) {
    env.push_back("DISPLAY=" + x.display);
    env.push_back("QT_QPA_PLATFORM=xcb");
  } else {
    env.push_back("QT_QPA_PLATFORM=offscreen");
  }
  fs::create_directories(dir / "registry");
  fs::create_directories(dir / "rec");
  Child viewer = Spawn({self, "--viewer", "--port", port, "--scenario", scenario, "--seconds",
                        std::to_string(o.seconds), "--warmup", std::to_string(o.warmup), "--record",
                        (dir / "rec").string(), "--x-pid", std::to_string(x.child.pid)},
                       env, false, true, false);
  std::string result;
  for (std::string line; !(line = ReadLine(viewer.out)).empty();) {
    if (line == "ready" && scenario == "server-single" && sim.in) {
      std::fputs("view single 1\n", sim.in);
      std::fflush(sim.in);
    }
    if (line.rfind("result ", 0) == 0) {
      result = line;
      break;
    }
  }
  int status = 0;
  if (viewer.pid > 0) waitpid(viewer.pid, &status, 0);
  viewer.pid = 0;
  Stop(viewer);
  Stop(sim);
  Stop(x.child);
  if (result.empty()) {
    std::fprintf(stderr, "wall: the viewer gave no result for %s\n", scenario.c_str());
    return false;
  }
  const auto pairs = Pairs(result);
  auto num = [&](const char* k) { return pairs.count(k) ? std::atof(pairs.at(k).c_str()) : 0.0; };

  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir / "rec")) {
    if (e.path().extension() == ".avi") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  size_t recorded = 0;
  for (const auto& f : files) recorded += ReadAviFrames(f).size();

  Figures& fig = *out;
  const double decoded = num("decoded");
  const double wall = num("wall_s");
  const int arriving = scenario == "clicked-single" ? 1 : kChannels;
  fig["frames_sent"] = std::round(arriving * kFps * wall);
  fig["frames_decoded"] = decoded;
  fig["client_us"] = decoded > 0 ? num("client_cpu_s") * 1e6 / decoded : 0;
  fig["x_us"] = decoded > 0 ? num("x_cpu_s") * 1e6 / decoded : 0;
  fig["presents_per_s"] = wall > 0 ? num("presents") / wall : 0;
  fig["lat_p50_ms"] = num("lat_p50_ms");
  fig["lat_p99_ms"] = num("lat_p99_ms");
  fig["lat_max_ms"] = num("lat_max_ms");
  fig["rss_mb"] = num("rss_mb");
  fig["threads"] = num("threads");
  fig["floor_us"] = FloorUs(files, true);
  fig["floor_seq_us"] = FloorUs(files, false);
  if (scenario == "clicked-single") {
    fig["ffmpeg_single_us"] = files.empty() ? 0 : SingleUs(files.front(), recorded);
  } else {
    fig["mosaic_us"] = files.size() == kChannels ? MosaicUs(files, recorded) : 0;
  }
  fig["x_server"] = x.display.empty() ? 0 : 1;
  if (!std::getenv("ZARVION_WALL_KEEP")) fs::remove_all(dir);
  return true;
}

std::string Format(const std::string& scenario, const Figures& f) {
  std::ostringstream s;
  s << "scenario=" << scenario;
  auto put = [&](const char* k, int precision) {
    if (!f.count(k)) return;
    s << ' ' << k << '=';
    s.setf(std::ios::fixed);
    s.precision(precision);
    s << f.at(k);
  };
  for (const char* k :
       {"client_us", "x_us", "floor_us", "floor_seq_us", "mosaic_us", "ffmpeg_single_us"})
    put(k, 0);
  for (const char* k : {"client_per_floor", "client_x_per_mosaic", "client_x_per_single"}) {
    put(k, 2);
  }
  for (const char* k : {"frames_sent", "frames_decoded"}) put(k, 0);
  for (const char* k : {"presents_per_s", "lat_p50_ms", "lat_p99_ms", "lat_max_ms", "rss_mb"}) {
    put(k, 1);
  }
  for (const char* k : {"threads", "x_server", "runs"}) put(k, 0);
  return s.str();
}

int RunDriver(const std::string& self, const Options& o) {
  std::vector<std::pair<std::string, Figures>> summary;
  for (const auto& scenario : o.scenarios) {
    std::vector<Figures> runs;
    for (int r = 0; r < o.runs; ++r) {
      Figures f;
      if (!RunOnce(self, o, scenario, &f)) continue;
      f["client_per_floor"] = f["floor_us"] > 0 ? f["client_us"] / f["floor_us"] : 0;
      if (f.count("mosaic_us") && f["mosaic_us"] > 0) {
        f["client_x_per_mosaic"] = (f["client_us"] + f["x_us"]) / f["mosaic_us"];
      }
      if (f.count("ffmpeg_single_us") && f["ffmpeg_single_us"] > 0) {
        f["client_x_per_single"] = (f["client_us"] + f["x_us"]) / f["ffmpeg_single_us"];
      }
      std::printf("run %d %s\n", r + 1, Format(scenario, f).c_str());
      std::fflush(stdout);
      runs.push_back(std::move(f));
    }
    if (runs.empty()) continue;
    Figures m;
    for (const auto& [k, v] : runs.front()) {
      std::vector<double> values;
      for (const auto& f : runs) {
        if (f.count(k)) values.push_back(f.at(k));
      }
      // The worst run for the tail figures, the median for the rest.
      m[k] = (k == "lat_max_ms" || k == "rss_mb") ? *std::max_element(values.begin(), values.end())
                                                  : Median(values);
    }
    m["runs"] = static_cast<double>(runs.size());
    summary.emplace_back(scenario, m);
  }
  if (summary.empty()) return 1;
  std::error_code ec;
  fs::create_directories(fs::path(o.json).parent_path(), ec);
  std::ofstream json(o.json);
  json << "[\n";
  for (size_t i = 0; i < summary.size(); ++i) {
    json << "  {\"scenario\": \"" << summary[i].first << "\"";
    for (const auto& [k, v] : summary[i].second) json << ", \"" << k << "\": " << v;
    json << "}" << (i + 1 < summary.size() ? ",\n" : "\n");
  }
  json << "]\n";
  for (const auto& [scenario, f] : summary) std::printf("%s\n", Format(scenario, f).c_str());
  return 0;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string part; std::getline(in, part, sep);) {
    if (!part.empty()) out.push_back(part);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool viewerMode = false;
  ViewerArgs va;
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const std::string next = i + 1 < args.size() ? args[i + 1] : "";
    auto take = [&] { return args.size() > i + 1 ? args[++i] : std::string(); };
    if (a == "--viewer") {
      viewerMode = true;
    } else if (a == "--port") {
      va.port = take();
    } else if (a == "--scenario") {
      va.scenario = take();
    } else if (a == "--record") {
      va.recordDir = take();
    } else if (a == "--x-pid") {
      va.xServer = static_cast<pid_t>(std::atoi(take().c_str()));
    } else if (a == "--seconds") {
      o.seconds = va.seconds = std::atof(take().c_str());
    } else if (a == "--warmup") {
      o.warmup = va.warmup = std::atof(take().c_str());
    } else if (a == "--runs") {
      o.runs = std::max(1, std::atoi(take().c_str()));
    } else if (a == "--json") {
      o.json = take();
    } else if (a == "--scenarios") {
      o.scenarios = Split(take(), ',');
    } else if (a == "--help" || a == "-h") {
      std::printf(
          "usage: zarvion-bench-wall [--seconds S] [--warmup S] [--runs N] [--json FILE]\n"
          "                          [--scenarios grid,server-single,clicked-single]\n");
      return 0;
    } else {
      std::fprintf(stderr, "zarvion-bench-wall: unknown argument '%s'\n", a.c_str());
      return 2;
    }
    (void)next;
  }
  av_log_set_level(AV_LOG_QUIET);
  if (viewerMode) return RunViewer(argc, argv, va);
  std::error_code ec;
  const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
  return RunDriver(self, o);
}
