#include "viewer/login_source.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/unique_fd.h"

namespace zarvion::viewer {

void KeepLoginPrivate() { prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

std::optional<std::string> ReadLoginLine(std::istream& in) {
  std::string line;
  char c;
  while (in.get(c) && c != '\n') {
    if (line.size() == kMaxLoginBytes) return std::nullopt;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool ReadLoginFile(const std::string& path, std::string* login, std::string* error) {
  // The checks are made on the file opened, not on the name, so the file
  // cannot be swapped between check and read.
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.Valid()) {
    *error = "cannot read the login file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "the login file " + path + " is not a regular file";
    return false;
  }
  if (st.st_mode & (S_IRGRP | S_IROTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *error = "the login file " + path + " may be read by group or others (mode " + mode +
             "); make it the owner's only (chmod 600)";
    return false;
  }
  std::string bytes;
  char buffer[1024];
  ssize_t n;
  while (bytes.size() <= kMaxLoginBytes && (n = read(fd.Get(), buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "cannot read the login file " + path + ": " + std::strerror(errno);
      return false;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  std::istringstream in(bytes);
  std::optional<std::string> line = ReadLoginLine(in);
  if (!line) {
    *error = "the login file " + path + " holds a line longer than " +
             std::to_string(kMaxLoginBytes) + " bytes";
    return false;
  }
  *login = std::move(*line);
  return true;
}

}  // namespace zarvion::viewer
