#include "platform/registry_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace zarvion::reg {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

const char* HiveName(Hive hive) {
  return hive == Hive::kClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER";
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

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

void SetValueIn(HiveData& hive, const std::string& path, std::string_view name, uint32_t type,
                std::string data) {
  RegKey& key = CreateKeyIn(hive, path);
  if (RegValue* v = FindValue(key, name)) {
    v->type = type;
    v->data = std::move(data);
  } else {
    key.values.push_back(RegValue{std::string(name), type, std::move(data)});
  }
}

bool DeleteKeyIn(HiveData& hive, std::string_view path) {
  return std::erase_if(hive.keys, [&](const RegKey& k) {
           return SameName(k.path, path) || IsBelow(k.path, path);
         }) != 0;
}

// ---- parsing ----

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace zarvion::reg
