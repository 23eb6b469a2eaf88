#include "report.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "measure.h"

namespace zarvion::wallbench {

void AddRatios(Figures* figures) {
  Figures& f = *figures;
  const bool app = f.count("app_us") > 0;
  const double floor = f.count("floor_us") ? f["floor_us"] : 0;
  const double paced = f.count("floor_paced_us") ? f["floor_paced_us"] : 0;
  const char* cost = app ? "app_us" : "client_us";
  if (paced > 0) f[app ? "app_per_paced_floor" : "client_per_paced_floor"] = f[cost] / paced;
  if (app) {
    if (floor > 0) f["app_per_floor"] = f["app_us"] / floor;
    return;
  }
  f["client_per_floor"] = floor > 0 ? f["client_us"] / floor : 0;
  const double withX = f["client_us"] + f["x_us"];
  auto against = [&](const char* reference, const char* ratio) {
    if (f.count(reference) && f[reference] > 0) f[ratio] = withX / f[reference];
  };
  against("mosaic_us", "client_x_per_mosaic");
  against("mosaic_nn_us", "client_x_per_mosaic_nn");
  against("ffmpeg_single_us", "client_x_per_single");
  against("ffmpeg_single_nn_us", "client_x_per_single_nn");
}

Figures Summarise(const std::vector<Figures>& runs) {
  Figures m;
  for (const auto& [k, v] : runs.front()) {
    std::vector<double> values;
    for (const auto& f : runs) {
      if (f.count(k)) values.push_back(f.at(k));
    }
    // The worst run for the tail figures, the median for the rest.
    const bool worst =
        k == "lat_max_ms" || k == "rss_mb" || k == "peak_mb" || k == "floor_spread_pct";
    m[k] = worst ? *std::max_element(values.begin(), values.end()) : Median(values);
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
  for (const char* k : {"client_us", "app_us", "x_us", "fence_us", "floor_us"}) put(k, 0);
  put("floor_spread_pct", 1);
  for (const char* k : {"floor_seq_us", "floor_paced_us", "mosaic_us", "mosaic_nn_us",
                        "ffmpeg_single_us", "ffmpeg_single_nn_us"}) {
    put(k, 0);
  }
  for (const char* k : {"client_per_floor", "app_per_floor", "client_per_paced_floor",
                        "app_per_paced_floor", "client_x_per_mosaic", "client_x_per_mosaic_nn",
                        "client_x_per_single", "client_x_per_single_nn"}) {
    put(k, 2);
  }
  put("toggle_off_us", 0);
  put("toggle_on_us", 0);
  put("motion_rise_pct", 1);
  for (const char* k : {"frames_sent", "frames_decoded", "motion_changes"}) put(k, 0);
  put("ring_mb", 2);
  put("ring_taken_mb", 2);
  for (const char* k : {"presents_per_s", "lat_p50_ms", "lat_p99_ms", "lat_max_ms", "rss_mb",
                        "peak_mb", "anon_mb", "decoders_mb", "preroll_mb", "tab_mb", "tab_anon_mb",
                        "tab_beyond_decoders_mb", "tab_beyond_decoders_preroll_mb"}) {
    put(k, 1);
  }
  for (const char* k : {"lat_drawn", "threads", "x_server", "runs"}) put(k, 0);
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
