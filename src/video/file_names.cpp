#include "video/file_names.h"

#include <cstdio>

namespace zarvion {

namespace {

std::string WithoutTrailingSeparator(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder.substr(0, folder.size() - 1);
  return folder;
}

std::string RecordingName(const std::string& folder, const char* prefix, int channelNumber,
                          const LocalTime& t) {
  char name[80];
  std::snprintf(name, sizeof name, "/%s_CH%02d_%04d_%02d_%02d_%02d_%02d_%02d_%03d.avi", prefix,
                channelNumber, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                t.wMilliseconds);
  return WithoutTrailingSeparator(folder) + name;
}

}  // namespace

std::string RecordFileName(const std::string& folder, int channelNumber, const LocalTime& t) {
  return RecordingName(folder, "CLIENT", channelNumber, t);
}

std::string EventRecordFileName(const std::string& folder, int channelNumber, const LocalTime& t) {
  return RecordingName(folder, "EVENT", channelNumber, t);
}

std::string SnapshotFileName(const std::string& folder, int channelNumber, const LocalTime& t) {
  char name[64];
  std::snprintf(name, sizeof name, "/CH%02d_%04d_%02d_%02d_%02d_%02d_%02d_%03d.bmp", channelNumber,
                t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return WithoutTrailingSeparator(folder) + name;
}

}  // namespace zarvion
