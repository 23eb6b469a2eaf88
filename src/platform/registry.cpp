#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/files.h"
#include "platform/log.h"

namespace zarvion {
namespace {

struct RegValue {
  std::string name;
  uint32_t type = REG_NONE;
  std::string data;
};

struct RegKey {
  std::string path;  // normalised, without the hive name
  std::vector<RegValue> values;
};

struct HiveData {
  std::vector<RegKey> keys;
};

const char* HiveName(Hive hive) {
  return hive == Hive::kClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER";
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// "a\\b\" and "\a\b" both name "a\b".
std::optional<std::string> NormaliseKey(std::string_view path) {
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('\\', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) {
      std::string_view seg = path.substr(i, j - i);
      for (char c : seg) {
        if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      }
      if (!out.empty()) out += '\\';
      out += seg;
    }
    i = j + 1;
  }
  return out;
}

bool ValidValueName(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// True when `descendant` lies below `key` (and is not `key` itself).
bool IsBelow(std::string_view descendant, std::string_view key) {
  if (key.empty()) return !descendant.empty();
  return descendant.size() > key.size() && descendant[key.size()] == '\\' &&
         SameName(descendant.substr(0, key.size()), key);
}

RegKey* FindKey(HiveData& hive, std::string_view path) {
  for (auto& k : hive.keys) {
    if (SameName(k.path, path)) return &k;
  }
  return nullptr;
}

RegValue* FindValue(RegKey& key, std::string_view name) {
  for (auto& v : key.values) {
    if (SameName(v.name, name)) return &v;
  }
  return nullptr;
}

RegKey& CreateKeyIn(HiveData& hive, const std::string& path) {
  // Ancestors first, so the file lists keys top down.
  size_t pos = 0;
  while ((pos = path.find('\\', pos)) != std::string::npos) {
    std::string ancestor = path.substr(0, pos);
    if (!FindKey(hive, ancestor)) hive.keys.push_back(RegKey{ancestor, {}});
    ++pos;
  }
  if (RegKey* k = FindKey(hive, path)) return *k;
  hive.keys.push_back(RegKey{path, {}});
  return hive.keys.back();
}

// ---- parsing ----

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Reads a quoted text at the start of `s`; advances `s` past it.
std::optional<std::string> ParseQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  size_t i = 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return out;
    }
    if (c == '\\' && i + 1 < s.size()) {
      out += s[i + 1];
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> ParseHexBytes(std::string_view s) {
  std::string out;
  s = Trim(s);
  if (s.empty()) return out;
  size_t i = 0;
  while (true) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) return std::nullopt;
    int hi = i < s.size() ? HexDigit(s[i]) : -1;
    int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i == s.size()) return out;
    if (s[i] != ',') return std::nullopt;
    ++i;
  }
}

std::optional<RegValue> ParseValueLine(std::string_view line) {
  RegValue v;
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else {
    auto name = ParseQuoted(line);
    if (!name) return std::nullopt;
    v.name = std::move(*name);
  }
  line = Trim(line);
  if (line.empty() || line.front() != '=') return std::nullopt;
  line = Trim(line.substr(1));
  if (!line.empty() && line.front() == '"') {
    auto text = ParseQuoted(line);
    if (!text) return std::nullopt;
    v.type = REG_SZ;
    v.data = std::move(*text);
    v.data += '\0';
    return v;
  }
  if (line.substr(0, 6) == "dword:") {
    std::string_view digits = Trim(line.substr(6));
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      value = value * 16 + static_cast<uint32_t>(d);
    }
    v.type = REG_DWORD;
    v.data.assign(reinterpret_cast<const char*>(&value), 4);
    return v;
  }
  if (line.substr(0, 4) == "hex:") {
    auto bytes = ParseHexBytes(line.substr(4));
    if (!bytes) return std::nullopt;
    v.type = REG_BINARY;
    v.data = std::move(*bytes);
    return v;
  }
  if (line.substr(0, 4) == "hex(") {
    size_t close = line.find("):");
    if (close == std::string_view::npos || close <= 4) return std::nullopt;
    uint32_t type = 0;
    for (char c : line.substr(4, close - 4)) {
      int d = HexDigit(c);
      if (d < 0 || type > 0x0FFFFFFF) return std::nullopt;
      type = type * 16 + static_cast<uint32_t>(d);
    }
    auto bytes = ParseHexBytes(line.substr(close + 2));
    if (!bytes) return std::nullopt;
    v.type = type;
    v.data = std::move(*bytes);
    return v;
  }
  return std::nullopt;
}

// Unknown or malformed lines are skipped: a damaged entry costs that entry,
// never the rest of the hive.
HiveData ParseHive(Hive hive, const std::string& text) {
  HiveData data;
  const std::string prefix = HiveName(hive);
  RegKey* current = nullptr;
  size_t pos = 0;
  std::string logical;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view raw = Trim(std::string_view(text).substr(pos, end - pos));
    pos = end + 1;
    // Long hex lists continue on the next line after a backslash.
    if (!raw.empty() && raw.back() == '\\' &&
        (!logical.empty() || raw.find("=hex") != std::string_view::npos)) {
      logical += raw.substr(0, raw.size() - 1);
      continue;
    }
    if (!logical.empty()) {
      logical += raw;
      raw = logical;
    }
    std::string_view line = raw;
    if (line.empty() || line.front() == ';') {
      logical.clear();
      continue;
    }
    if (line.front() == '[') {
      current = nullptr;
      size_t close = line.rfind(']');
      if (close != std::string_view::npos && line.size() > 1 && line[1] != '-') {
        std::string_view name = line.substr(1, close - 1);
        if (name.size() >= prefix.size() && SameName(name.substr(0, prefix.size()), prefix) &&
            (name.size() == prefix.size() || name[prefix.size()] == '\\')) {
          if (auto path = NormaliseKey(name.substr(prefix.size()))) {
            current = &CreateKeyIn(data, *path);
          }
        }
      }
    } else if (current && (line.front() == '"' || line.front() == '@')) {
      if (auto v = ParseValueLine(line)) {
        if (RegValue* old = FindValue(*current, v->name)) {
          *old = std::move(*v);
        } else {
          current->values.push_back(std::move(*v));
        }
      }
    }
    logical.clear();
  }
  return data;
}

// ---- writing ----

bool PrintableUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) return false;
      ++i;
      continue;
    }
    size_t len = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

void AppendQuoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendHex(std::string& out, std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ',';
    auto b = static_cast<unsigned char>(bytes[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
}

std::string FormatHive(Hive hive, const HiveData& data) {
  std::string out = "REGEDIT4\n";
  for (const auto& key : data.keys) {
    out += "\n[";
    out += HiveName(hive);
    if (!key.path.empty()) {
      out += '\\';
      out += key.path;
    }
    out += "]\n";
    for (const auto& v : key.values) {
      if (v.name.empty()) {
        out += '@';
      } else {
        AppendQuoted(out, v.name);
      }
      out += '=';
      std::string_view d = v.data;
      if (v.type == REG_SZ && !d.empty() && d.back() == '\0' &&
          PrintableUtf8(d.substr(0, d.size() - 1))) {
        AppendQuoted(out, d.substr(0, d.size() - 1));
      } else if (v.type == REG_DWORD && d.size() == 4) {
        uint32_t value;
        std::memcpy(&value, d.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", value);
        out += buf;
      } else if (v.type == REG_BINARY) {
        out += "hex:";
        AppendHex(out, d);
      } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        out += buf;
        AppendHex(out, d);
      }
      out += '\n';
    }
  }
  return out;
}

// ---- files ----

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

std::optional<std::string> ReadWholeFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::string();
    return std::nullopt;
  }
  std::string out;
  char buf[8192];
  while (true) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
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

// Threads of one process take the in-process lock first; processes meet at
// the flock.
std::mutex& ProcessLock() {
  static std::mutex m;
  return m;
}

// Runs `change` on the current hive under the lock and stores the result.
// `change` returns false to fail the call and true to commit; it sets
// *dirty when the hive differs from what was read.
bool ModifyHive(Hive hive, const std::function<bool(HiveData&, bool*)>& change) {
  std::lock_guard<std::mutex> guard(ProcessLock());
  const std::string folder = RegistryFolder();
  if (!MakeFolders(folder)) return false;
  const std::string file = HiveFilePath(hive);
  Fd lock(::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) return LogHiveFailure(file + ".lock", "open");
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return LogHiveFailure(file + ".lock", "flock");
  }
  auto data = LoadHive(hive);
  if (!data) return false;
  bool dirty = false;
  if (!change(*data, &dirty)) return false;
  if (!dirty) return true;

  const std::string temp = file + ".tmp";
  Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.get() < 0) return LogHiveFailure(temp, "create");
  // The hive may hold a remembered login: owner only, also when a temporary
  // file of an earlier run with other permissions is reused.
  if (::fchmod(out.get(), 0600) != 0) return LogHiveFailure(temp, "chmod");
  bool ok = WriteAll(out.get(), FormatHive(hive, *data)) && ::fsync(out.get()) == 0;
  ok = (::close(out.release()) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
    LogHiveFailure(ok ? file : temp, ok ? "rename" : "write");
    ::unlink(temp.c_str());
    return false;
  }
  return true;  // the flock ends with the descriptor
}

}  // namespace

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
  return folder.empty() ? std::string() : folder + "/" + HiveName(hive) + ".reg";
}

bool RegGetValue(Hive hive, std::string_view subKey, std::string_view value, RegType expected,
                 void* data, uint32_t* size) {
  auto path = NormaliseKey(subKey);
  if (!path) return false;
  auto hiveData = LoadHive(hive);
  if (!hiveData) return false;
  RegKey* key = FindKey(*hiveData, *path);
  if (!key) return false;
  RegValue* v = FindValue(*key, value);
  if (!v) return false;
  if (expected != REG_NONE && v->type != expected) return false;

  std::string_view bytes = v->data;
  size_t needed = bytes.size();
  if (v->type == REG_SZ) {
    bytes = bytes.substr(0, bytes.find('\0'));
    needed = bytes.size() + 1;
  }
  if (needed > UINT32_MAX) return false;
  if (!size) return data == nullptr;
  if (!data) {
    *size = static_cast<uint32_t>(needed);
    return true;
  }
  if (*size < needed) {
    *size = static_cast<uint32_t>(needed);
    return false;
  }
  std::memcpy(data, bytes.data(), bytes.size());
  if (v->type == REG_SZ) static_cast<char*>(data)[bytes.size()] = '\0';
  *size = static_cast<uint32_t>(needed);
  return true;
}

bool RegSetValue(Hive hive, std::string_view subKey, std::string_view value, RegType type,
                 const void* data, uint32_t size) {
  auto path = NormaliseKey(subKey);
  if (!path || !ValidValueName(value)) return false;
  if (type == REG_DWORD && size != 4) return false;
  if (size > 0 && !data) return false;
  std::string bytes = size ? std::string(static_cast<const char*>(data), size) : std::string();
  return ModifyHive(hive, [&](HiveData& h, bool* dirty) {
    RegKey& key = CreateKeyIn(h, *path);
    RegValue* v = FindValue(key, value);
    if (!v) {
      key.values.push_back(RegValue{std::string(value), type, bytes});
    } else {
      v->type = type;
      v->data = bytes;
    }
    *dirty = true;
    return true;
  });
}

bool RegGetDword(Hive hive, std::string_view subKey, std::string_view value, uint32_t* out) {
  uint32_t size = 4;
  return RegGetValue(hive, subKey, value, REG_DWORD, out, &size);
}

bool RegSetDword(Hive hive, std::string_view subKey, std::string_view value, uint32_t v) {
  return RegSetValue(hive, subKey, value, REG_DWORD, &v, 4);
}

bool RegGetString(Hive hive, std::string_view subKey, std::string_view value, std::string* out) {
  uint32_t size = 0;
  if (!RegGetValue(hive, subKey, value, REG_SZ, nullptr, &size)) return false;
  std::string buf(size, '\0');
  if (!RegGetValue(hive, subKey, value, REG_SZ, buf.data(), &size)) return false;
  buf.resize(size - 1);
  *out = std::move(buf);
  return true;
}

bool RegSetString(Hive hive, std::string_view subKey, std::string_view value,
                  std::string_view text) {
  std::string bytes(text);
  bytes += '\0';
  return RegSetValue(hive, subKey, value, REG_SZ, bytes.data(),
                     static_cast<uint32_t>(bytes.size()));
}

bool RegCreateKey(Hive hive, std::string_view subKey) {
  auto path = NormaliseKey(subKey);
  if (!path) return false;
  return ModifyHive(hive, [&](HiveData& h, bool* dirty) {
    if (!FindKey(h, *path)) {
      CreateKeyIn(h, *path);
      *dirty = true;
    }
    return true;
  });
}

bool RegKeyExists(Hive hive, std::string_view subKey) {
  auto path = NormaliseKey(subKey);
  if (!path) return false;
  auto h = LoadHive(hive);
  if (!h) return false;
  for (const auto& k : h->keys) {
    if (SameName(k.path, *path) || IsBelow(k.path, *path)) return true;
  }
  return false;
}

bool RegDeleteKey(Hive hive, std::string_view subKey) {
  auto path = NormaliseKey(subKey);
  if (!path || path->empty()) return false;
  if (!RegKeyExists(hive, *path)) return true;
  return ModifyHive(hive, [&](HiveData& h, bool* dirty) {
    auto& keys = h.keys;
    size_t before = keys.size();
    std::erase_if(
        keys, [&](const RegKey& k) { return SameName(k.path, *path) || IsBelow(k.path, *path); });
    *dirty = keys.size() != before;
    return true;
  });
}

bool RegDeleteValue(Hive hive, std::string_view subKey, std::string_view value) {
  auto path = NormaliseKey(subKey);
  if (!path) return false;
  return ModifyHive(hive, [&](HiveData& h, bool* dirty) {
    RegKey* key = FindKey(h, *path);
    if (!key) return true;
    size_t before = key->values.size();
    std::erase_if(key->values, [&](const RegValue& v) { return SameName(v.name, value); });
    *dirty = key->values.size() != before;
    return true;
  });
}

std::vector<std::string> RegEnumSubKeys(Hive hive, std::string_view subKey) {
  std::vector<std::string> out;
  auto path = NormaliseKey(subKey);
  if (!path) return out;
  auto h = LoadHive(hive);
  if (!h) return out;
  const size_t skip = path->empty() ? 0 : path->size() + 1;
  for (const auto& k : h->keys) {
    if (!IsBelow(k.path, *path)) continue;
    std::string child = k.path.substr(skip, k.path.find('\\', skip) - skip);
    bool seen = false;
    for (const auto& c : out) seen = seen || SameName(c, child);
    if (!seen) out.push_back(std::move(child));
  }
  return out;
}

std::vector<std::string> RegEnumValues(Hive hive, std::string_view subKey) {
  std::vector<std::string> out;
  auto path = NormaliseKey(subKey);
  if (!path) return out;
  auto h = LoadHive(hive);
  if (!h) return out;
  if (RegKey* key = FindKey(*h, *path)) {
    for (const auto& v : key->values) out.push_back(v.name);
  }
  return out;
}

void RegBatch::CreateKey(std::string_view subKey) {
  ops_.push_back(Op{Op::kCreateKey, std::string(subKey), {}, REG_NONE, {}});
}

void RegBatch::SetValue(std::string_view subKey, std::string_view value, RegType type,
                        std::string data) {
  ops_.push_back(Op{Op::kSetValue, std::string(subKey), std::string(value), type, std::move(data)});
}

void RegBatch::SetString(std::string_view subKey, std::string_view value, std::string_view text) {
  std::string bytes(text);
  bytes += '\0';
  SetValue(subKey, value, REG_SZ, std::move(bytes));
}

void RegBatch::DeleteKey(std::string_view subKey) {
  ops_.push_back(Op{Op::kDeleteKey, std::string(subKey), {}, REG_NONE, {}});
}

void RegBatch::DeleteKeyIfEmpty(std::string_view subKey) {
  ops_.push_back(Op{Op::kDeleteKeyIfEmpty, std::string(subKey), {}, REG_NONE, {}});
}

bool RegApply(Hive hive, const RegBatch& batch) {
  // Every name is checked before the hive is touched.
  std::vector<std::string> paths;
  paths.reserve(batch.ops().size());
  for (const auto& op : batch.ops()) {
    auto path = NormaliseKey(op.key);
    if (!path) return false;
    const bool deletes =
        op.kind == RegBatch::Op::kDeleteKey || op.kind == RegBatch::Op::kDeleteKeyIfEmpty;
    if (deletes && path->empty()) return false;
    if (op.kind == RegBatch::Op::kSetValue) {
      if (!ValidValueName(op.value)) return false;
      if (op.type == REG_DWORD && op.data.size() != 4) return false;
    }
    paths.push_back(std::move(*path));
  }
  if (paths.empty()) return true;
  return ModifyHive(hive, [&](HiveData& h, bool* dirty) {
    for (size_t i = 0; i < paths.size(); ++i) {
      const auto& op = batch.ops()[i];
      const std::string& path = paths[i];
      switch (op.kind) {
        case RegBatch::Op::kCreateKey:
          CreateKeyIn(h, path);
          break;
        case RegBatch::Op::kSetValue: {
          RegKey& key = CreateKeyIn(h, path);
          if (RegValue* v = FindValue(key, op.value)) {
            v->type = op.type;
            v->data = op.data;
          } else {
            key.values.push_back(RegValue{op.value, op.type, op.data});
          }
          break;
        }
        case RegBatch::Op::kDeleteKey:
          std::erase_if(h.keys, [&](const RegKey& k) {
            return SameName(k.path, path) || IsBelow(k.path, path);
          });
          break;
        case RegBatch::Op::kDeleteKeyIfEmpty: {
          bool empty = true;
          for (const auto& k : h.keys) {
            if (IsBelow(k.path, path) || (SameName(k.path, path) && !k.values.empty())) {
              empty = false;
            }
          }
          if (empty) {
            std::erase_if(h.keys, [&](const RegKey& k) { return SameName(k.path, path); });
          }
          break;
        }
      }
    }
    *dirty = true;
    return true;
  });
}

}  // namespace zarvion
