// A login parameter may carry a password. These keep it from other local
// users: it can be read from standard input or from a file only its owner
// may read (a command-line argument is visible to every local user), and a
// process that holds one leaves no core file and cannot be attached to by
// other processes of the same user.
#pragma once

#include <istream>
#include <optional>
#include <string>

namespace zarvion::viewer {

// The longest login parameter taken from a stream or file, in bytes.
inline constexpr size_t kMaxLoginBytes = 4096;

// Makes this process not dumpable from now on. Called whenever a login
// parameter enters the viewer; never undone, as copies may linger in memory.
void KeepLoginPrivate();

// The first line of `in` without its line end; nullopt when it holds more
// than kMaxLoginBytes before the line end.
std::optional<std::string> ReadLoginLine(std::istream& in);

// The first line of the file at `path`. False with a one-line reason when
// the file cannot be read, is not a regular file, or group or others may
// read it.
bool ReadLoginFile(const std::string& path, std::string* login, std::string* error);

}  // namespace zarvion::viewer
