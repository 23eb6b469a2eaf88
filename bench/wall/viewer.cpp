#include "viewer.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QApplication>
#include <QObject>
#include <QPoint>
#include <QThread>
#include <QTimer>

#include "drawn_fence.h"
#include "measure.h"
#include "shell/control_host.h"
#include "shell/zarvinet.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"
#include "window/control_window.h"

namespace zarvion::wallbench {
namespace {

// Frames from arrival to the X server having drawn the paint that shows
// them. Arrival times go into a ring (one writer: the connection thread); a
// composition marks how many had arrived, the window's take of the changes
// keeps the last mark, and once the paint after it has been drawn every
// frame up to that mark is accounted for. Without an X server the paint's
// end stands for the drawing.
class Trace : public FrameTrace {
 public:
  static constexpr size_t kRing = 1 << 16;

  Trace() {
    if (xcb_connection_t* c = DrawnFence::ApplicationConnection()) {
      fence_ =
          std::make_unique<DrawnFence>(c, [this](uint64_t mark, int64_t ns) { Drawn(mark, ns); });
      fenced_ = true;
    }
  }
  // The fence's thread goes before what it writes to.
  ~Trace() override { fence_.reset(); }

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
  // Taken and Shown come on the GUI thread, or, for a picture the window
  // presents straight from the connection thread, on that thread.
  void Taken() override {
    std::lock_guard<std::mutex> hold(shownLock_);
    taken_ = composed_.load(std::memory_order_acquire);
  }
  void Shown() override {
    std::unique_lock<std::mutex> hold(shownLock_);
    presents_ += 1;
    const uint64_t mark = taken_;
    if (!fence_) {
      hold.unlock();
      Drawn(mark, NowNs());
      return;
    }
    if (QThread::currentThread() != context_.thread()) {
      // Presented off the GUI thread: its requests have gone already.
      // (Held meanwhile: Stop takes the fence away under the same lock.)
      fence_->After(mark);
      return;
    }
    // Called inside the paint; the window's picture goes to the server
    // after it returns, so the round-trip is asked for from the event loop.
    const bool posted = fenceMark_ != kNoMark;
    fenceMark_ = mark;
    if (posted) return;
    hold.unlock();
    const double cpu0 = ThreadCpu();
    QMetaObject::invokeMethod(
        &context_,
        [this] {
          uint64_t mark = kNoMark;
          {
            std::lock_guard<std::mutex> hold(shownLock_);
            std::swap(mark, fenceMark_);
          }
          if (fence_) fence_->After(mark);
        },
        Qt::QueuedConnection);
    postCpu_ += ThreadCpu() - cpu0;
  }
  void Start() {
    {
      std::lock_guard<std::mutex> shown(shownLock_);
      presents_ = 0;
    }
    std::lock_guard<std::mutex> hold(m_);
    latencies_.clear();
    latencies_.reserve(1 << 16);
    received0_ = received_.load();
    measuring_ = true;
  }
  // Stops the fence's thread; the latencies stay.
  void Stop() {
    std::unique_ptr<DrawnFence> fence;
    {
      std::lock_guard<std::mutex> hold(shownLock_);
      fence = std::move(fence_);
    }
  }
  uint64_t Received() const { return received_.load() - received0_; }
  // The slots (bit per slot) whose frames the view shows.
  void SetShownSlots(uint32_t mask) { shownSlots_ = mask; }
  uint64_t Presents() {
    std::lock_guard<std::mutex> hold(shownLock_);
    return presents_;
  }
  std::vector<double> Latencies() {
    std::lock_guard<std::mutex> hold(m_);
    return latencies_;
  }
  // CPU seconds the fence took, to be taken out of the viewer's; 0 without.
  double FenceCpu() const { return postCpu_ + (fence_ ? fence_->CpuSeconds() : 0); }
  bool Fenced() const { return fenced_; }

 private:
  static constexpr uint64_t kNoMark = ~uint64_t{0};

  void Drawn(uint64_t upTo, int64_t now) {
    std::lock_guard<std::mutex> hold(m_);
    for (; shown_ < upTo; ++shown_) {
      if (arrival_[shown_ % kRing] < 0) continue;
      // Only frames that arrived while measuring count: the ones before
      // arrived under the warm-up's view and its shown channels.
      if (measuring_ && shown_ >= received0_ && latencies_.size() < latencies_.capacity()) {
        latencies_.push_back(static_cast<double>(now - arrival_[shown_ % kRing]) / 1e6);
      }
    }
  }

  std::vector<int64_t> arrival_ = std::vector<int64_t>(kRing);
  std::atomic<uint64_t> received_{0};
  std::atomic<uint32_t> shownSlots_{0xFFFFFFFFu};
  std::atomic<uint64_t> composed_{0};
  std::atomic<uint64_t> received0_{0};
  // Under shownLock_.
  std::mutex shownLock_;
  uint64_t taken_ = 0;
  uint64_t presents_ = 0;
  uint64_t fenceMark_ = kNoMark;
  std::unique_ptr<DrawnFence> fence_;
  QObject context_;  // takes the posted round-trips with it
  bool fenced_ = false;
  double postCpu_ = 0;
  // Where the frames are accounted for (the fence's thread, or the GUI
  // thread without one).
  std::mutex m_;
  uint64_t shown_ = 0;
  bool measuring_ = false;
  std::vector<double> latencies_;
};

}  // namespace

int RunViewer(int argc, char** argv, const ViewerArgs& a) {
  QApplication app(argc, argv);
  Zarvinet control;
  ControlWindowOptions options;
  // The double-click of the clicked scenario lands in the middle of pane 0.
  options.cursorPos = [] { return QPoint(kVideoWidth / 8, kVideoHeight / 8); };
  std::unique_ptr<ControlWindow> window = CreateControlWindow(control, nullptr, std::move(options));
  Trace trace;
  window->SetFrameTrace(&trace);
  window->resize(kVideoWidth, kVideoHeight + zarvion::kToolbarStrip);
  window->show();

  auto& obj = control.Object();
  // grid-motion sets detection on for every channel (on by default).
  if (a.scenario == "grid-motion") {
    for (int c = 0; c < kChannels; ++c) control.SetMotionEnabled(c, true);
  }
  // Every start and end of an event while measuring.
  auto motionChanges = [&] {
    uint32_t n = 0;
    for (int c = 0; c < kChannels; ++c) n += control.Motion(c).changes;
    return n;
  };
  uint32_t changes0 = 0;
  // grid-motion's second half: detection switched off and on for all
  // channels every second, in the same process, so the machine's load
  // weighs on both alike; CPU and frames of each state.
  std::string result;
  bool toggledOn = true;
  int64_t toggleAt = 0;
  double toggleCpu0 = 0;
  uint32_t toggleFrames0 = 0;
  double stateCpu[2] = {0, 0};
  double stateFrames[2] = {0, 0};
  auto toggle = [&](int64_t now) {
    const double cpu = SelfCpu();
    const uint32_t frames = obj.dwFramesReceived.load();
    if (toggleAt != 0) {
      stateCpu[toggledOn] += cpu - toggleCpu0;
      stateFrames[toggledOn] += frames - toggleFrames0;
    }
    toggledOn = !toggledOn;
    for (int c = 0; c < kChannels; ++c) control.SetMotionEnabled(c, toggledOn);
    toggleAt = now;
    toggleCpu0 = SelfCpu();
    toggleFrames0 = obj.dwFramesReceived.load();
  };
  // Connect as a host script would.
  const std::u16string port(a.port.begin(), a.port.end());
  control.ConnectServer(Variant::Bstr(u"127.0.0.1"), Variant::Bstr(port), Variant::Bstr(u"bench"));

  const bool clicked = a.scenario == "clicked-single";
  double cpu0 = 0, x0 = 0, fence0 = 0;
  int64_t t0 = 0;
  auto recordAll = [&](bool start) {
    for (int slot = 0; slot < kChannels; ++slot) {
      if (clicked && slot != 0) continue;
      CChannelDecoder* d = window->Decoder(slot);
      if (!d) continue;
      if (start) {
        d->recordFolder = [dir = a.recordDir] { return dir; };
        if (!d->StartRecording()) {
          std::fprintf(stderr, "wall: channel %d cannot record into %s\n", slot + 1,
                       a.recordDir.c_str());
        }
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
      const View view = ClassifyDrawMode(obj.dwDrawMode.load());
      trace.SetShownSlots(view.kind == ViewKind::kSingle ? 1u << view.slot : 0xFFFFu);
      trace.Start();
      cpu0 = SelfCpu();
      fence0 = trace.FenceCpu();
      x0 = a.xServer ? ProcessCpu(a.xServer) : 0;
      changes0 = motionChanges();
      t0 = now;
      stage = 3;
      stageAt = now;
      // The measured viewer wakes for the benchmark's sake only rarely.
      poll.setInterval(200);
    } else if (stage == 3 && since >= a.seconds) {
      const double fence = trace.FenceCpu() - fence0;
      const double cpu = SelfCpu() - cpu0 - fence;
      const double x = a.xServer ? ProcessCpu(a.xServer) - x0 : 0;
      const double wall = (now - t0) / 1e9;
      rusage u{};
      getrusage(RUSAGE_SELF, &u);
      window->SetFrameTrace(nullptr);
      trace.Stop();
      const std::vector<double> lat = trace.Latencies();
      const double frames = static_cast<double>(trace.Received());
      // The pre-roll rings: the most one channel holds now, and the most
      // one's buffer takes.
      size_t ring = 0;
      size_t ringTaken = 0;
      for (int slot = 0; slot < kChannels; ++slot) {
        if (CChannelDecoder* d = window->Decoder(slot)) {
          ring = std::max(ring, d->PreRollBytes());
          ringTaken = std::max(ringTaken, d->PreRollTaken());
        }
      }
      char line[1024];
      std::snprintf(
          line, sizeof line,
          "result decoded=%.0f wall_s=%.3f client_cpu_s=%.4f fence_cpu_s=%.4f drawn_end=%d "
          "x_cpu_s=%.4f presents=%llu "
          "lat_p50_ms=%.2f lat_p99_ms=%.2f lat_max_ms=%.2f rss_mb=%.1f threads=%d "
          "draw_mode=0x%x motion_changes=%u ring_mb=%.3f ring_taken_mb=%.3f",
          frames, wall, cpu, fence, trace.Fenced() ? 1 : 0, x,
          static_cast<unsigned long long>(trace.Presents()), Percentile(lat, 0.5),
          Percentile(lat, 0.99), Percentile(lat, 1.0), u.ru_maxrss / 1024.0, SelfThreads(),
          obj.dwDrawMode.load(), motionChanges() - changes0, ring / 1048576.0,
          ringTaken / 1048576.0);
      result = line;
      if (a.scenario == "grid-motion") {
        stage = 5;
        stageAt = now;
        toggle(now);
        return;
      }
      std::printf("%s\n", result.c_str());
      std::fflush(stdout);
      stage = 4;
      app.quit();
    } else if (stage == 5 && now - toggleAt >= 1000000000) {
      toggle(now);
      if (since < a.seconds) return;
      auto perFrame = [&](int on) {
        return stateFrames[on] > 0 ? stateCpu[on] * 1e6 / stateFrames[on] : 0.0;
      };
      std::printf("%s toggle_off_us=%.2f toggle_on_us=%.2f\n", result.c_str(), perFrame(0),
                  perFrame(1));
      std::fflush(stdout);
      stage = 4;
      app.quit();
    }
  });
  poll.start(10);
  app.exec();
  window.reset();
  return stage == 4 ? 0 : 1;
}

}  // namespace zarvion::wallbench
