#include "platform/registry.h"

#include <cstring>
#include <utility>

#include "platform/registry_hive_file.h"
#include "platform/registry_text.h"

namespace zarvion {

// Each call checks its names first, then reads the hive, or changes it in
// one read-modify-write under the hive's locks.
using namespace reg;

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
    SetValueIn(h, *path, value, type, bytes);
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
    *dirty = DeleteKeyIn(h, *path);
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
        case RegBatch::Op::kSetValue:
          SetValueIn(h, path, op.value, op.type, op.data);
          break;
        case RegBatch::Op::kDeleteKey:
          DeleteKeyIn(h, path);
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
