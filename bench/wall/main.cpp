// zarvion-bench-wall: the whole viewer process on a live wall of 16 channels,
// beside a bare decode of the same packets (floor) and an FFmpeg mosaic of
// them, all measured in the same run; then the viewer application with one
// and with four recorders open.
//
//   zarvion-bench-wall [--seconds 15] [--warmup 3] [--runs 3] [--json FILE]
//                      [--scenarios grid,server-single,clicked-single,grid-motion,
//                                   app-1-tab,app-4-tabs]
//
// Per run and scenario the simulated recorder runs in its own process, the
// viewer in another (this program with --viewer), on its own X server when
// Xvfb is installed, else offscreen. The viewer records the packets of its
// warm-up through its own recording; floor and mosaic decode those files.
// Figures are medians over the runs; the last lines printed are one line of
// key=value pairs per scenario, and the same goes to the JSON file.
//
// measure: the wall and the clocks; viewer: the measured process; process:
// starting and stopping the others; baselines: floor and ffmpeg; report:
// the figures' summary and output; driver: the runs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "driver.h"
#include "viewer.h"

namespace {

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
  zarvion::wallbench::ViewerArgs va;
  zarvion::wallbench::Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
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
          "                          [--scenarios grid,server-single,clicked-single,grid-motion,\n"
          "                                       app-1-tab,app-4-tabs]\n");
      return 0;
    } else {
      std::fprintf(stderr, "zarvion-bench-wall: unknown argument '%s'\n", a.c_str());
      return 2;
    }
  }
  av_log_set_level(AV_LOG_QUIET);
  if (viewerMode) return zarvion::wallbench::RunViewer(argc, argv, va);
  std::error_code ec;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  return zarvion::wallbench::RunDriver(self, o);
}
