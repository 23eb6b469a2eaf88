// The registry's hives in memory and as REGEDIT4 text: the keys and values
// of one hive, the rules for their names (ASCII case-insensitive, key paths
// separated by backslashes), and the reader and writer of the text that
// registry.h describes.
// Internal to the registry; callers use registry.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace zarvion::reg {

struct RegValue {
  std::string name;
  uint32_t type = REG_NONE;
  std::string data;
};

struct RegKey {
  std::string path;  // normalised, without the hive name
  std::vector<RegValue> values;
};

// The keys in file order, each listed after its ancestors.
struct HiveData {
  std::vector<RegKey> keys;
};

// "HKEY_CURRENT_USER" or "HKEY_CLASSES_ROOT": the hive's name in its file
// and the file's own name.
const char* HiveName(Hive hive);

// Key and value names compare case-insensitively (ASCII only).
bool SameName(std::string_view a, std::string_view b);
// A key path without empty segments: "a\\b\" and "\a\b" both name "a\b".
// None when a segment holds a control character.
std::optional<std::string> NormaliseKey(std::string_view path);
bool ValidValueName(std::string_view name);
// True when `descendant` lies below `key` (and is not `key` itself).
bool IsBelow(std::string_view descendant, std::string_view key);

RegKey* FindKey(HiveData& hive, std::string_view path);
RegValue* FindValue(RegKey& key, std::string_view name);
// The key, created with its missing ancestors when needed.
RegKey& CreateKeyIn(HiveData& hive, const std::string& path);
// Stores a value, creating the key as needed; a value of that name keeps
// its spelling and place and takes the new type and data.
void SetValueIn(HiveData& hive, const std::string& path, std::string_view name, uint32_t type,
                std::string data);
// Removes the key with everything below it; true when anything went.
bool DeleteKeyIn(HiveData& hive, std::string_view path);

// The hive in a file's text. Unknown or malformed lines are skipped: a
// damaged entry costs that entry, never the rest of the hive.
HiveData ParseHive(Hive hive, const std::string& text);
// The text of a hive file, as ParseHive reads it back.
std::string FormatHive(Hive hive, const HiveData& data);

}  // namespace zarvion::reg
