// The wall benchmark's figures: per run, then summed up over the runs into
// one key=value line per scenario and the same in a JSON file.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zarvion::wallbench {

using Figures = std::map<std::string, double>;

// Adds the ratios of the viewer to the floor and to ffmpeg, where ffmpeg
// gave a figure.
void AddRatios(Figures* f);
// Over all runs of one scenario: the worst run for the tail figures (the
// longest latency, peak memory, the floor's spread), the median for the rest, and how many runs
// there were.
Figures Summarise(const std::vector<Figures>& runs);
// "scenario=NAME key=value ...", in a fixed order and precision.
std::string Format(const std::string& scenario, const Figures& f);
// An array of one object per scenario; its folder is made if missing.
void WriteJson(const std::string& path,
               const std::vector<std::pair<std::string, Figures>>& summary);

}  // namespace zarvion::wallbench
