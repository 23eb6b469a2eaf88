// Local files, folders and the local clock. Paths are UTF-8 and use '/'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace zarvion {

// True when the path names an existing file or folder.
bool PathFileExists(std::string_view path);
// True when the path names a folder in which this user may create files.
bool IsWritableFolder(std::string_view path);
// Whether the path names a folder (following links).
bool IsFolder(std::string_view path);
// Creates one folder level (the parent must exist). False when it could not
// be created, including when something of that name exists already.
bool CreateDirectory(std::string_view path);
// $HOME, or the password database's home folder when $HOME is unset or
// empty; none when neither names one.
std::optional<std::string> UserHomeFolder();
// UserHomeFolder, or "/" when there is none.
std::string HomeFolder();

// Calendar fields of the local time, with milliseconds.
struct LocalTime {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;      // 1..12
  uint16_t wDayOfWeek = 0;  // 0 = Sunday
  uint16_t wDay = 0;        // 1..31
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;
};
LocalTime GetLocalTime();

// A file open for writing; closed when destroyed.
class File {
 public:
  // Creates the file, or empties an existing one.
  [[nodiscard]] bool Create(std::string_view path);
  bool IsOpen() const { return fd_.Valid(); }
  // Writes all `size` bytes or fails.
  [[nodiscard]] bool Write(const void* data, size_t size);
  // Moves the write position to an absolute offset.
  [[nodiscard]] bool Seek(uint64_t offset);
  // Flushes to the device and closes; false when anything was lost.
  [[nodiscard]] bool Close();

 private:
  UniqueFd fd_;
};

// Creates (or empties) the file and writes `size` bytes to it.
[[nodiscard]] bool WriteFile(std::string_view path, const void* data, size_t size);

}  // namespace zarvion
