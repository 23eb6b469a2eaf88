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

#include "baselines.h"
#include "measure.h"
#include "process.h"
#include "report.h"

namespace zarvion::wallbench {
namespace {

namespace fs = std::filesystem;

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

}  // namespace

int RunDriver(const std::string& self, const Options& o) {
  std::vector<std::pair<std::string, Figures>> summary;
  for (const auto& scenario : o.scenarios) {
    std::vector<Figures> runs;
    for (int r = 0; r < o.runs; ++r) {
      Figures f;
      if (!RunOnce(self, o, scenario, &f)) continue;
      AddRatios(&f);
      std::printf("run %d %s\n", r + 1, Format(scenario, f).c_str());
      std::fflush(stdout);
      runs.push_back(std::move(f));
    }
    if (runs.empty()) continue;
    summary.emplace_back(scenario, Summarise(runs));
  }
  if (summary.empty()) return 1;
  WriteJson(o.json, summary);
  for (const auto& [scenario, f] : summary) std::printf("%s\n", Format(scenario, f).c_str());
  return 0;
}

}  // namespace zarvion::wallbench
