#include "report.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "measure.h"

namespace zarvion::wallbench {

void AddRatios(Figures* figures) {
  Figures& f = *figures;
  f["client_per_floor"] = f["floor_us"] > 0 ? f["client_us"] / f["floor_us"] : 0;
  if (f.count("mosaic_us") && f["mosaic_us"] > 0) {
    f["client_x_per_mosaic"] = (f["client_us"] + f["x_us"]) / f["mosaic_us"];
  }
  if (f.count("ffmpeg_single_us") && f["ffmpeg_single_us"] > 0) {
    f["client_x_per_single"] = (f["client_us"] + f["x_us"]) / f["ffmpeg_single_us"];
  }
}

Figures Summarise(const std::vector<Figures>& runs) {
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
  return m;
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

void WriteJson(const std::string& path,
               const std::vector<std::pair<std::string, Figures>>& summary) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream json(path);
  json << "[\n";
  for (size_t i = 0; i < summary.size(); ++i) {
    json << "  {\"scenario\": \"" << summary[i].first << "\"";
    for (const auto& [k, v] : summary[i].second) json << ", \"" << k << "\": " << v;
    json << "}" << (i + 1 < summary.size() ? ",\n" : "\n");
  }
  json << "]\n";
}

}  // namespace zarvion::wallbench
