#include "settings/settings_store.h"

#include <cstring>

#include "platform/files.h"
#include "platform/registry.h"

namespace zarvion {
namespace {

constexpr uint32_t kDrawModeDefault = 0x00100000;

const char* ValueName(FolderSetting which) {
  return which == kCapDir ? kCapDirValue : kRecordDirValue;
}

}  // namespace

uint32_t SettingsStore::ReadDrawMode() {
  uint32_t mode = kDrawModeDefault;
  uint32_t size = sizeof mode;
  if (!RegGetValue(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, REG_DWORD, &mode, &size)) {
    mode = kDrawModeDefault;
  }
  return mode > kDrawModeDefault ? kDrawModeDefault : mode;
}

bool SettingsStore::DrawModeChosen() {
  uint32_t mode = 0;
  uint32_t size = sizeof mode;
  return RegGetValue(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, REG_DWORD, &mode, &size);
}

std::string SettingsStore::ReadFolderSetting(FolderSetting which) {
  char buffer[kFolderBufferSize] = {};
  uint32_t size = sizeof buffer;
  std::string folder;
  if (RegGetValue(Hive::kCurrentUser, kSettingsKey, ValueName(which), REG_SZ, buffer, &size)) {
    folder.assign(buffer, strnlen(buffer, sizeof buffer));
  }
  if (folder.empty() || !PathFileExists(folder)) {
    folder = DefaultFolder(which);
    // Usually both exist already; a failure shows later, when a file
    // cannot be created there.
    CreateDirectory(DefaultParentFolder());
    CreateDirectory(folder);
  }
  return folder;
}

void SettingsStore::SaveSettings(uint32_t drawMode, std::string_view capDir,
                                 std::string_view recordDir) {
  // Each value is written even when one before it failed, and a failure is
  // not reported: the next reader falls back to the default.
  static_cast<void>(RegSetValue(Hive::kCurrentUser, kSettingsKey, kDrawModeValue, REG_DWORD,
                                &drawMode, sizeof drawMode));
  static_cast<void>(RegSetValue(Hive::kCurrentUser, kSettingsKey, kCapDirValue, REG_SZ,
                                capDir.data(), static_cast<uint32_t>(capDir.size())));
  static_cast<void>(RegSetValue(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, REG_SZ,
                                recordDir.data(), static_cast<uint32_t>(recordDir.size())));
}

std::string SettingsStore::DefaultParentFolder() {
  std::string home = HomeFolder();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") home.clear();
  return home + "/Holmvard";
}

std::string SettingsStore::DefaultFolder(FolderSetting which) {
  return DefaultParentFolder() + (which == kCapDir ? "/Bitmap" : "/Movie");
}

}  // namespace zarvion
