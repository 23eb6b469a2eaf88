#include "driver.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "baselines.h"
#include "measure.h"
#include "process.h"
#include "report.h"
#include "viewer/recent_recorders.h"
#include "viewer/recorder_tab.h"

namespace zarvion::wallbench {
namespace {

namespace fs = std::filesystem;

// The motion scenarios' recorder: a new object every second, each crossing
// its channel in the simulator's 3 s, so three or four channels move at once.
constexpr double kWanderSeconds = 1;

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

// The floor three times over, each a few seconds of CPU: the median is kept
// and the spread, (largest - smallest) / median, tells how busy the
// machine was.
// `streams`: how many streams arrive live, for the paced floor (one frame
// every 1 / (streams x rate) seconds, about four seconds' worth).
void AddFloor(const std::vector<fs::path>& files, int streams, Figures* fig) {
  const auto pace = std::chrono::microseconds(1000000 / (streams * kFps));
  (*fig)["floor_paced_us"] = FloorUs(files, true, static_cast<size_t>(streams * kFps * 4), pace);
  std::vector<double> samples;
  for (int i = 0; i < 3; ++i) samples.push_back(FloorUs(files, true));
  const double median = Median(samples);
  (*fig)["floor_us"] = median;
  (*fig)["floor_spread_pct"] = median > 0
                                   ? 100 *
                                         (*std::max_element(samples.begin(), samples.end()) -
                                          *std::min_element(samples.begin(), samples.end())) /
                                         median
                                   : 0;
}

// A recorder of 16 channels in a process of its own; its port, empty when
// it did not start.
// `wander`: an object crosses one channel after another, one every so many
// seconds (0: the still scenes).
std::string StartRecorder(const fs::path& binDir, Child* sim, double wander = 0) {
  std::vector<std::string> args = {(binDir / "zarvion-dvrsim").string(),
                                   "--port",
                                   "0",
                                   "--channels",
                                   std::to_string(kChannels),
                                   "--fps",
                                   std::to_string(kFps)};
  if (wander > 0) {
    args.push_back("--wander");
    args.push_back(std::to_string(wander));
  }
  *sim = Spawn(args, {}, true, true, false);
  const std::string listening = ReadLine(sim->out);
  const size_t colon = listening.rfind(':');
  if (sim->pid <= 0 || colon == std::string::npos) {
    std::fprintf(stderr, "wall: the recorder did not start (%s)\n", listening.c_str());
    Stop(*sim);
    return {};
  }
  return listening.substr(colon + 1);
}

// One scenario once: recorder, viewer, then floor and the FFmpeg figures.
// The first grid run leaves its packets in `packetDir` (`packets`).
bool RunOnce(const std::string& self, const Options& o, const std::string& scenario,
             const fs::path& packetDir, std::vector<fs::path>* packets, Figures* out) {
  const fs::path dir =
      fs::temp_directory_path() / ("zarvion-wall-" + std::to_string(getpid()) + "-" + scenario);
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path binDir = fs::path(self).parent_path();
  Child sim;
  const bool wander = scenario == "grid-motion";
  const std::string port = StartRecorder(binDir, &sim, wander ? kWanderSeconds : 0);
  if (port.empty()) return false;

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
  fig["fence_us"] = decoded > 0 ? num("fence_cpu_s") * 1e6 / decoded : 0;
  fig["lat_drawn"] = num("drawn_end");
  fig["presents_per_s"] = wall > 0 ? num("presents") / wall : 0;
  fig["lat_p50_ms"] = num("lat_p50_ms");
  fig["lat_p99_ms"] = num("lat_p99_ms");
  fig["lat_max_ms"] = num("lat_max_ms");
  fig["rss_mb"] = num("rss_mb");
  if (wander) {
    fig["motion_changes"] = num("motion_changes");
    fig["ring_mb"] = num("ring_mb");
    fig["ring_taken_mb"] = num("ring_taken_mb");
  }
  const bool toggled = pairs.count("toggle_on_us") > 0;
  fig["threads"] = num("threads");
  AddFloor(files, arriving, &fig);
  fig["floor_seq_us"] = FloorUs(files, false);
  if (toggled) {
    fig["toggle_off_us"] = num("toggle_off_us");
    fig["toggle_on_us"] = num("toggle_on_us");
    if (fig["floor_us"] > 0) {
      fig["motion_rise_pct"] = 100 * (fig["toggle_on_us"] - fig["toggle_off_us"]) / fig["floor_us"];
    }
  }
  if (scenario == "clicked-single") {
    if (!files.empty()) {
      fig["ffmpeg_single_us"] = SingleUs(files.front(), recorded, Sampling::kBicubic);
      fig["ffmpeg_single_nn_us"] = SingleUs(files.front(), recorded, Sampling::kNeighbour);
    }
  } else if (files.size() == kChannels) {
    fig["mosaic_us"] = MosaicUs(files, recorded, Sampling::kBicubic);
    fig["mosaic_nn_us"] = MosaicUs(files, recorded, Sampling::kNeighbour);
    // The application's scenarios decode the same packets for their floor.
    if (packets && packets->empty()) {
      for (const auto& f : files) {
        const fs::path kept = packetDir / f.filename();
        fs::copy_file(f, kept, fs::copy_options::overwrite_existing);
        packets->push_back(kept);
      }
    }
  }
  fig["x_server"] = x.display.empty() ? 0 : 1;
  if (!std::getenv("ZARVION_WALL_KEEP")) fs::remove_all(dir);
  return true;
}

// The viewer application itself (zarvion-viewer, as an operator starts it)
// with `tabs` recorders open in as many tabs, the first shown: its CPU over
// the run per frame of all the recorders' streams, the X server's, and its
// peak resident memory. Its tabs are restored from a registry of its own.
bool RunApp(const std::string& self, const Options& o, int tabs,
            const std::vector<fs::path>& packets, Figures* out) {
  const fs::path dir = fs::temp_directory_path() /
                       ("zarvion-wall-" + std::to_string(getpid()) + "-app" + std::to_string(tabs));
  fs::remove_all(dir);
  fs::create_directories(dir / "registry");
  fs::create_directories(dir / "data");
  const fs::path binDir = fs::path(self).parent_path();
  std::vector<Child> sims(static_cast<size_t>(tabs));
  std::vector<viewer::Recorder> open;
  bool started = true;
  for (Child& sim : sims) {
    const std::string port = StartRecorder(binDir, &sim);
    if (port.empty()) {
      started = false;
      break;
    }
    viewer::Recorder r;
    r.host = "127.0.0.1";
    r.port = static_cast<uint16_t>(std::atoi(port.c_str()));
    r.login = "bench";
    r.rememberLogin = true;
    open.push_back(r);
  }
  // The tabs go where the viewer will look for them.
  const std::string registry = (dir / "registry").string();
  setenv("ZARVION_REGISTRY_DIR", registry.c_str(), 1);
  started = started && viewer::SaveOpenTabs(open);
  unsetenv("ZARVION_REGISTRY_DIR");

  XServer x;
  Child app;
  double cpu = 0, xCpu = 0, wall = 0, peakMb = 0, anonMb = 0;
  if (started) {
    x = StartXvfb();
    std::vector<std::string> env = {"ZARVION_REGISTRY_DIR=" + registry,
                                    "XDG_DATA_HOME=" + (dir / "data").string()};
    if (!x.display.empty()) {
      env.push_back("DISPLAY=" + x.display);
      env.push_back("QT_QPA_PLATFORM=xcb");
    } else {
      env.push_back("QT_QPA_PLATFORM=offscreen");
    }
    app = Spawn({(binDir / "zarvion-viewer").string()}, env, false, false, true);
    // Connected, every tab's decoders running and its window composed.
    std::this_thread::sleep_for(std::chrono::duration<double>(o.warmup + 2));
    const double cpu0 = ProcessCpu(app.pid);
    const double x0 = x.child.pid > 0 ? ProcessCpu(x.child.pid) : 0;
    const int64_t t0 = NowNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    cpu = ProcessCpu(app.pid) - cpu0;
    xCpu = x.child.pid > 0 ? ProcessCpu(x.child.pid) - x0 : 0;
    wall = (NowNs() - t0) / 1e9;
    peakMb = ProcessStatusKb(app.pid, "VmHWM:") / 1024.0;
    anonMb = ProcessStatusKb(app.pid, "RssAnon:") / 1024.0;
  }
  Stop(app);
  for (Child& sim : sims) Stop(sim);
  Stop(x.child);
  if (!std::getenv("ZARVION_WALL_KEEP")) fs::remove_all(dir);
  if (!started || peakMb <= 0) {
    std::fprintf(stderr, "wall: the viewer application gave no result with %d tabs\n", tabs);
    return false;
  }
  Figures& fig = *out;
  const double frames = std::round(tabs * kChannels * kFps * wall);
  fig["frames_sent"] = frames;
  fig["app_us"] = cpu * 1e6 / frames;
  fig["x_us"] = xCpu * 1e6 / frames;
  fig["peak_mb"] = peakMb;
  // What the viewer holds of its own (no library or font pages), at the end.
  fig["anon_mb"] = anonMb;
  if (!packets.empty()) {
    fig["decoders_mb"] = DecodersMb(packets);
    // The viewer's own rings, with the bounds a tab gives them.
    const viewer::RecorderTab::EventRecordingTimes times;
    fig["preroll_mb"] = PreRollMb(packets, times.ringBytes, times.preRoll);
  }
  // Per frame, the floor of 4 x 16 streams is that of 16: 4 times the CPU
  // over 4 times the frames.
  if (!packets.empty()) AddFloor(packets, tabs * kChannels, &fig);
  fig["x_server"] = x.display.empty() ? 0 : 1;
  return true;
}

// What each further tab costs, from the one-tab and four-tab runs: its
// peak and its own anonymous memory, and the peak beyond its decoders, and
// beyond its decoders and its cameras' pre-roll.
void AddPerTab(std::vector<std::pair<std::string, Figures>>* summary) {
  const Figures* one = nullptr;
  const Figures* four = nullptr;
  for (const auto& [scenario, f] : *summary) {
    if (scenario == "app-1-tab") one = &f;
    if (scenario == "app-4-tabs") four = &f;
  }
  if (!one || !four) return;
  auto further = [&](const char* k) {
    return one->count(k) && four->count(k) ? (four->at(k) - one->at(k)) / 3 : 0.0;
  };
  Figures tab;
  tab["tab_mb"] = further("peak_mb");
  tab["tab_anon_mb"] = further("anon_mb");
  const double decoders = four->count("decoders_mb") ? four->at("decoders_mb") : 0;
  const double preroll = four->count("preroll_mb") ? four->at("preroll_mb") : 0;
  tab["decoders_mb"] = decoders;
  tab["preroll_mb"] = preroll;
  tab["tab_beyond_decoders_mb"] = tab["tab_mb"] - decoders;
  tab["tab_beyond_decoders_preroll_mb"] = tab["tab_mb"] - decoders - preroll;
  summary->emplace_back("app-per-tab", std::move(tab));
}

}  // namespace

int RunDriver(const std::string& self, const Options& o) {
  std::vector<std::pair<std::string, Figures>> summary;
  const fs::path packetDir =
      fs::temp_directory_path() / ("zarvion-wall-" + std::to_string(getpid()) + "-packets");
  fs::remove_all(packetDir);
  fs::create_directories(packetDir);
  std::vector<fs::path> packets;
  for (const auto& scenario : o.scenarios) {
    std::vector<Figures> runs;
    for (int r = 0; r < o.runs; ++r) {
      Figures f;
      const bool ok = scenario == "app-1-tab" ? RunApp(self, o, 1, packets, &f)
                      : scenario == "app-4-tabs"
                          ? RunApp(self, o, 4, packets, &f)
                          : RunOnce(self, o, scenario, packetDir, &packets, &f);
      if (!ok) continue;
      AddRatios(&f);
      std::printf("run %d %s\n", r + 1, Format(scenario, f).c_str());
      std::fflush(stdout);
      runs.push_back(std::move(f));
    }
    if (runs.empty()) continue;
    summary.emplace_back(scenario, Summarise(runs));
  }
  fs::remove_all(packetDir);
  AddPerTab(&summary);
  if (summary.empty()) return 1;
  WriteJson(o.json, summary);
  for (const auto& [scenario, f] : summary) std::printf("%s\n", Format(scenario, f).c_str());
  return 0;
}

}  // namespace zarvion::wallbench
