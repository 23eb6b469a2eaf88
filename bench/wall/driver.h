// The wall benchmark's driver: for each scenario and run, a recorder and a
// measured viewer in processes of their own, then the baselines on what the
// viewer recorded; prints each run and, last, the summary.
#pragma once

#include <string>
#include <vector>

namespace zarvion::wallbench {

struct Options {
  double seconds = 15;
  double warmup = 3;
  int runs = 3;
  std::string json = "build/bench/wall.json";
  // The app-* scenarios run zarvion-viewer itself; their floor decodes the
  // packets of the first grid run, so they come after it.
  std::vector<std::string> scenarios = {"grid",        "server-single", "clicked-single",
                                        "grid-motion", "app-1-tab",     "app-4-tabs"};
};

// `self`: this program, started again as the viewer. 0 when at least one
// scenario gave a result.
int RunDriver(const std::string& self, const Options& o);

}  // namespace zarvion::wallbench
