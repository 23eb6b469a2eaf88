// The three per-user settings: the default layout and the snapshot and
// recording folders. Nothing is cached: every reader reads the value when it
// needs it, and only the settings dialog's OK writes.
//
// They live in HKEY_CURRENT_USER "SoftWare\Holmvard\Zarvion" of the registry
// stand-in. Folders are UTF-8 paths stored as REG_SZ without a terminating
// zero; a stored text with a zero reads the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zarvion {

constexpr const char* kSettingsKey = "SoftWare\\Holmvard\\Zarvion";
constexpr const char* kDrawModeValue = "dwDefaultDrawMode";
constexpr const char* kCapDirValue = "szDefaultCapDir";
constexpr const char* kRecordDirValue = "szDefaultRecordDir";

// Folders are held in buffers of this many bytes, terminator included.
constexpr size_t kFolderBufferSize = 260;
constexpr size_t kFolderMaxBytes = kFolderBufferSize - 1;

enum FolderSetting { kCapDir, kRecordDir };

class SettingsStore {
 public:
  // The stored layout, 0x00100000 when absent; a stored word above
  // 0x00100000 reads as 0x00100000, anything at or below it unchanged.
  static uint32_t ReadDrawMode();
  // Whether a layout is stored at all: the user chose one in the dialog.
  static bool DrawModeChosen();

  // The stored folder if it names an existing path. Otherwise (absent,
  // 260 bytes or longer, or missing on disk) the default folder, which is
  // then created together with its parent. A missing stored folder is
  // neither created nor rewritten.
  static std::string ReadFolderSetting(FolderSetting which);

  // Writes the layout, then the snapshot folder, then the recording folder.
  // Failures are not reported: the next reader falls back to the defaults.
  static void SaveSettings(uint32_t drawMode, std::string_view capDir, std::string_view recordDir);

  // $HOME/Holmvard, and its Bitmap (snapshots) and Movie (recordings) folders.
  static std::string DefaultParentFolder();
  static std::string DefaultFolder(FolderSetting which);
};

}  // namespace zarvion
