#include "video/file_names.h"

#include <time.h>

#include <cstdio>

namespace zarvion {

namespace {

std::string WithoutTrailingSeparator(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder.substr(0, folder.size() - 1);
  return folder;
}

}  // namespace

LocalTime NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  localtime_r(&ts.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

std::string RecordFileName(const std::string& folder, int channelNumber, const LocalTime& t) {
  char name[64];
  std::snprintf(name, sizeof name, "/CLIENT_CH%02d_%04d_%02d_%02d_%02d_%02d_%02d_%03d.avi",
                channelNumber, t.year, t.month, t.day, t.hour, t.minute, t.second,
                t.millisecond);
  return WithoutTrailingSeparator(folder) + name;
}

std::string SnapshotFileName(const std::string& folder, int channelNumber, const LocalTime& t) {
  char name[64];
  std::snprintf(name, sizeof name, "/CH%02d_%04d_%02d_%02d_%02d_%02d_%02d_%03d.bmp", channelNumber,
                t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
  return WithoutTrailingSeparator(folder) + name;
}

}  // namespace zarvion
