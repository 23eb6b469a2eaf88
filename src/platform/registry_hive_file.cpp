#include "platform/registry_hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/unique_fd.h"

namespace zarvion {

std::string RegistryFolder() {
  if (const char* dir = std::getenv("ZARVION_REGISTRY_DIR"); dir && *dir) return dir;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    return std::string(xdg) + "/zarvion";
  }
  if (auto home = UserHomeFolder()) return *home + "/.config/zarvion";
  // Without a home the settings would land in the root folder, shared by
  // every user; say why nothing is read or kept, once per process.
  static std::once_flag told;
  std::call_once(told, [] {
    std::fprintf(stderr,
                 "zarvion: no folder for the registry: HOME is not set and user %u has no home "
                 "folder in the password database; set HOME or ZARVION_REGISTRY_DIR\n",
                 static_cast<unsigned>(::getuid()));
  });
  return std::string();
}

std::string HiveFilePath(Hive hive) {
  const std::string folder = RegistryFolder();
  return folder.empty() ? std::string() : folder + "/" + reg::HiveName(hive) + ".reg";
}

namespace reg {
namespace {

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) {
    if (errno == ENOENT) return std::string();
    return std::nullopt;
  }
  std::string out;
  char buf[8192];
  while (true) {
    ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A hive file or folder that could not be read or written; always false.
bool LogHiveFailure(const std::string& path, const char* call) {
  Log(LogCategory::kSettings, LogSeverity::kWarning, "%s: %s failed: %s", path.c_str(), call,
      ErrnoText(errno).c_str());
  return false;
}

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return LogHiveFailure(part, "mkdir");
    }
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Threads of one process take the in-process lock first; processes meet at
// the flock.
std::mutex& ProcessLock() {
  static std::mutex m;
  return m;
}

}  // namespace

std::optional<HiveData> LoadHive(Hive hive) {
  const std::string file = HiveFilePath(hive);
  if (file.empty()) return std::nullopt;
  auto text = ReadWholeFile(file);
  if (!text) {
    LogHiveFailure(file, "read");
    return std::nullopt;
  }
  return ParseHive(hive, *text);
}

bool ModifyHive(Hive hive, const std::function<bool(HiveData&, bool*)>& change) {
  std::lock_guard<std::mutex> guard(ProcessLock());
  const std::string folder = RegistryFolder();
  if (!MakeFolders(folder)) return false;
  const std::string file = HiveFilePath(hive);
  const UniqueFd lock(::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.Valid()) return LogHiveFailure(file + ".lock", "open");
  while (::flock(lock.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) return LogHiveFailure(file + ".lock", "flock");
  }
  auto data = LoadHive(hive);
  if (!data) return false;
  bool dirty = false;
  if (!change(*data, &dirty)) return false;
  if (!dirty) return true;

  const std::string temp = file + ".tmp";
  UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!out.Valid()) return LogHiveFailure(temp, "create");
  // The hive may hold a remembered login: owner only, also when a temporary
  // file of an earlier run with other permissions is reused.
  if (::fchmod(out.Get(), 0600) != 0) return LogHiveFailure(temp, "chmod");
  bool ok = WriteAll(out.Get(), FormatHive(hive, *data)) && ::fsync(out.Get()) == 0;
  ok = out.Close() && ok;
  if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
    LogHiveFailure(ok ? file : temp, ok ? "rename" : "write");
    ::unlink(temp.c_str());
    return false;
  }
  return true;  // the flock ends with the descriptor
}

}  // namespace reg
}  // namespace zarvion
