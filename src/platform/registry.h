// A small per-user registry: two hives, each a REGEDIT4 text file.
//
// The hives live in $ZARVION_REGISTRY_DIR, or ${XDG_CONFIG_HOME:-$HOME/.config}/zarvion
// when that is unset, as HKEY_CURRENT_USER.reg and HKEY_CLASSES_ROOT.reg. The
// folder is looked up at every call, so a process (or a test) may move it.
//
// File format (what RegSetValue writes; the reader also accepts hand edits):
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SoftWare\Holmvard\Zarvion]
//   "dwDefaultDrawMode"=dword:00100000
//   "szDefaultCapDir"="/home/me/Holmvard/Bitmap"
//   "szOther"=hex(1):c4,ac,c8,cf
//   @="value of the key's default entry"
//
// REG_SZ data are bytes, kept exactly: a quoted text means its bytes plus a
// terminating zero (as regedit writes it); data that are not printable
// UTF-8, or lack the terminating zero, or hold an inner zero, are written as
// hex(1): so GBK texts and unterminated texts survive unchanged. Quoted
// texts escape only backslash and double quote.
//
// Key and value names compare case-insensitively (ASCII) and keep the
// spelling they were first created with. Creating a key creates its
// ancestors. Every change is a read-modify-write of the whole hive under an
// exclusive flock on "<hive>.reg.lock", written to a temporary file and
// renamed over the hive, so concurrent writers in any number of processes
// never lose each other's values and readers never see half a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zarvion {

enum class Hive { kCurrentUser, kClassesRoot };

enum RegType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_BINARY = 3,
  REG_DWORD = 4,
};

// The folder that holds the hive files, as the next call would use it:
// $ZARVION_REGISTRY_DIR, else $XDG_CONFIG_HOME/zarvion, else
// .config/zarvion in the user's home ($HOME, else the password database's).
// Empty when the user has no home: then every read and write fails, and the
// first time a message on standard error says why.
std::string RegistryFolder();
// Full path of a hive's file; empty when there is no folder.
std::string HiveFilePath(Hive hive);

// Reads one value. `value` empty means the key's default value. On entry
// *size is the capacity of `data`; on success it is the number of bytes
// stored in `data`. Fails when the key or value is missing, when the stored
// type is not `expected` (REG_NONE accepts any type), or when `data` is too
// small, in which case *size tells the capacity needed. `data` may be null
// to ask for the size only (the call then succeeds when the value exists).
//
// REG_SZ reads always end the text with a zero byte, stored or not, and
// need room for it: a 259-byte text fits a 260-byte buffer, a 260-byte one
// does not. *size then counts the text and its zero.
[[nodiscard]] bool RegGetValue(Hive hive, std::string_view subKey, std::string_view value,
                               RegType expected, void* data, uint32_t* size);

// Writes one value, creating the key and its ancestors when needed.
// REG_DWORD needs exactly 4 bytes (host byte order).
[[nodiscard]] bool RegSetValue(Hive hive, std::string_view subKey, std::string_view value,
                               RegType type, const void* data, uint32_t size);

// Convenience forms of the two calls above.
[[nodiscard]] bool RegGetDword(Hive hive, std::string_view subKey, std::string_view value,
                               uint32_t* out);
[[nodiscard]] bool RegSetDword(Hive hive, std::string_view subKey, std::string_view value,
                               uint32_t v);
// The stored text without any terminating zero; false when absent or not REG_SZ.
[[nodiscard]] bool RegGetString(Hive hive, std::string_view subKey, std::string_view value,
                                std::string* out);
// Stores the text followed by a zero byte.
[[nodiscard]] bool RegSetString(Hive hive, std::string_view subKey, std::string_view value,
                                std::string_view text);

// Creates a key (and its ancestors) without values; true if it exists afterwards.
[[nodiscard]] bool RegCreateKey(Hive hive, std::string_view subKey);
[[nodiscard]] bool RegKeyExists(Hive hive, std::string_view subKey);
// Deletes a key with everything below it. True when the key is gone
// afterwards (also when it never existed).
[[nodiscard]] bool RegDeleteKey(Hive hive, std::string_view subKey);
// True when the value is gone afterwards.
[[nodiscard]] bool RegDeleteValue(Hive hive, std::string_view subKey, std::string_view value);
// Names of the direct sub-keys and of the values of a key, in file order.
std::vector<std::string> RegEnumSubKeys(Hive hive, std::string_view subKey);
std::vector<std::string> RegEnumValues(Hive hive, std::string_view subKey);

// A list of changes applied to one hive in a single write: either all of
// them take effect or none does (a bad key name anywhere, or a failed
// write, leaves the hive as it was). Changes apply in the order added.
class RegBatch {
 public:
  void CreateKey(std::string_view subKey);
  // Creates the key as needed, like RegSetValue.
  void SetValue(std::string_view subKey, std::string_view value, RegType type, std::string data);
  void SetString(std::string_view subKey, std::string_view value, std::string_view text);
  // Deletes the key with everything below it.
  void DeleteKey(std::string_view subKey);
  // Deletes the key only when it has no values and no sub-keys left.
  void DeleteKeyIfEmpty(std::string_view subKey);
  bool empty() const { return ops_.empty(); }
  size_t size() const { return ops_.size(); }

  struct Op {
    enum Kind { kCreateKey, kSetValue, kDeleteKey, kDeleteKeyIfEmpty } kind;
    std::string key;
    std::string value;
    RegType type = REG_NONE;
    std::string data;
  };
  const std::vector<Op>& ops() const { return ops_; }

 private:
  std::vector<Op> ops_;
};
[[nodiscard]] bool RegApply(Hive hive, const RegBatch& batch);

}  // namespace zarvion
