#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/log.h"

namespace zarvion {

bool PathFileExists(std::string_view path) {
  if (path.empty()) return false;
  struct stat st;
  return ::stat(std::string(path).c_str(), &st) == 0;
}

bool IsWritableFolder(std::string_view path) {
  if (path.empty()) return false;
  const std::string p(path);
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::access(p.c_str(), W_OK | X_OK) == 0;
}

bool IsFolder(std::string_view path) {
  if (path.empty()) return false;
  struct stat st;
  return ::stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDirectory(std::string_view path) {
  if (path.empty()) return false;
  const std::string p(path);
  if (::mkdir(p.c_str(), 0777) == 0) return true;
  // A folder that is there already is the usual case, not worth a line.
  if (errno != EEXIST) {
    Log(LogCategory::kSettings, LogSeverity::kWarning, "cannot create the folder %s: %s", p.c_str(),
        ErrnoText(errno).c_str());
  }
  return false;
}

std::optional<std::string> UserHomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 4096);
  while (true) {
    passwd entry{};
    passwd* found = nullptr;
    const int err = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (err == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (err != 0 || !found || !found->pw_dir || !*found->pw_dir) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

std::string HomeFolder() {
  return UserHomeFolder().value_or("/");
}

LocalTime GetLocalTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  time_t secs = ts.tv_sec;
  ::localtime_r(&secs, &tm);
  LocalTime t;
  t.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
  t.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
  t.wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
  t.wDay = static_cast<uint16_t>(tm.tm_mday);
  t.wHour = static_cast<uint16_t>(tm.tm_hour);
  t.wMinute = static_cast<uint16_t>(tm.tm_min);
  t.wSecond = static_cast<uint16_t>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
  t.wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
  return t;
}

bool File::Create(std::string_view path) {
  fd_.Reset();
  if (path.empty()) return false;
  fd_.Reset(::open(std::string(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return fd_.Valid();
}

bool File::Write(const void* data, size_t size) {
  if (!fd_.Valid()) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd_.Get(), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool File::Seek(uint64_t offset) {
  if (!fd_.Valid()) return false;
  return ::lseek(fd_.Get(), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool File::Close() {
  if (!fd_.Valid()) return false;
  const bool ok = ::fsync(fd_.Get()) == 0 || errno == EINVAL;
  return fd_.Close() && ok;
}

bool WriteFile(std::string_view path, const void* data, size_t size) {
  File f;
  if (f.Create(path) && f.Write(data, size) && f.Close()) return true;
  Log(LogCategory::kRecording, LogSeverity::kWarning, "cannot write %.*s: %s",
      static_cast<int>(path.size()), path.data(), ErrnoText(errno).c_str());
  return false;
}

}  // namespace zarvion
