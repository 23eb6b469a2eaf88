#include "shell/type_library.h"

#include <cstdio>
#include <mutex>

#include "shell/resources.h"

namespace zarvion {
namespace {

// The automation marshaller every dual interface uses.
constexpr const char* kOleAutomationProxy = "{00020424-0000-0000-C000-000000000046}";

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  while (true) {
    size_t at = s.find(sep);
    out.push_back(Trim(s.substr(0, at)));
    if (at == std::string_view::npos) break;
    s.remove_prefix(at + 1);
  }
  return out;
}

std::vector<std::string> Words(std::string_view s) {
  std::vector<std::string> out;
  for (auto w : Split(s, ' ')) {
    if (!w.empty()) out.emplace_back(w);
  }
  return out;
}

bool ParseUnsigned(std::string_view s, uint32_t max, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool ParseVersion(std::string_view s, uint16_t* major, uint16_t* minor) {
  size_t dot = s.find('.');
  uint32_t a = 0, b = 0;
  if (dot == std::string_view::npos || !ParseUnsigned(s.substr(0, dot), 0xFFFF, &a) ||
      !ParseUnsigned(s.substr(dot + 1), 0xFFFF, &b)) {
    return false;
  }
  *major = static_cast<uint16_t>(a);
  *minor = static_cast<uint16_t>(b);
  return true;
}

char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// Names in the library are ASCII; a caller's name matches ignoring ASCII case.
bool SameName(std::string_view ours, std::u16string_view theirs) {
  if (ours.size() != theirs.size()) return false;
  for (size_t i = 0; i < theirs.size(); ++i) {
    if (LowerAscii(theirs[i]) != LowerAscii(static_cast<unsigned char>(ours[i]))) return false;
  }
  return true;
}

std::string VersionText(const TypeLibrary& lib) {
  char buf[16];
  // Type library versions are written in hexadecimal.
  std::snprintf(buf, sizeof buf, "%x.%x", lib.majorVersion, lib.minorVersion);
  return buf;
}

}  // namespace

std::optional<Guid> ParseGuid(std::string_view s) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (s.size() != 38 || s.front() != '{' || s.back() != '}') return std::nullopt;
  std::string hex;
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash != (s[i] == '-')) return std::nullopt;
    if (!dash) {
      const char c = s[i];
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
        return std::nullopt;
      }
      hex += c;
    }
  }
  auto value = [&](size_t at, size_t digits) {
    return std::stoull(hex.substr(at, digits), nullptr, 16);
  };
  Guid g{};
  g.data1 = static_cast<uint32_t>(value(0, 8));
  g.data2 = static_cast<uint16_t>(value(8, 4));
  g.data3 = static_cast<uint16_t>(value(12, 4));
  for (size_t i = 0; i < 8; ++i) g.data4[i] = static_cast<uint8_t>(value(16 + 2 * i, 2));
  return g;
}

const TypeMember* TypeLibrary::FindMember(std::u16string_view name) const {
  for (const auto& m : members) {
    if (SameName(m.name, name)) return &m;
  }
  return nullptr;
}

HRESULT TypeLibrary::NamesToIds(std::span<const std::u16string_view> names,
                                std::span<DISPID> ids) const {
  if (ids.size() < names.size()) return E_INVALIDARG;
  if (names.empty()) return S_OK;
  const TypeMember* m = FindMember(names[0]);
  if (!m) {
    for (size_t i = 0; i < names.size(); ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  ids[0] = m->id;
  HRESULT hr = S_OK;
  for (size_t i = 1; i < names.size(); ++i) {
    ids[i] = DISPID_UNKNOWN;
    for (size_t p = 0; p < m->params.size(); ++p) {
      if (SameName(m->params[p], names[i])) ids[i] = static_cast<DISPID>(p);
    }
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

const TypeMember* TypeLibrary::FindMember(DISPID id) const {
  for (const auto& m : members) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

std::optional<TypeLibrary> ParseTypeLibrary(std::string_view text) {
  TypeLibrary lib;
  bool haveLibrary = false, haveInterface = false, haveCoclass = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    auto f = Split(line, '|');
    if (f[0] == "library" && f.size() == 7 && !haveLibrary) {
      auto libid = ParseGuid(f[2]);
      if (f[1].empty() || !libid || !ParseVersion(f[3], &lib.majorVersion, &lib.minorVersion) ||
          !ParseUnsigned(f[4], 0xFFFFFFFF, &lib.lcid)) {
        return std::nullopt;
      }
      lib.libraryName = f[1];
      lib.libid = *libid;
      lib.sysKind = f[5];
      lib.libraryHelp = f[6];
      haveLibrary = true;
    } else if (f[0] == "interface" && f.size() == 6 && !haveInterface) {
      auto iid = ParseGuid(f[2]);
      if (f[1].empty() || !iid || f[4].empty()) return std::nullopt;
      lib.interfaceName = f[1];
      lib.iid = *iid;
      lib.interfaceFlags = Words(f[3]);
      lib.interfaceBase = f[4];
      lib.interfaceHelp = f[5];
      haveInterface = true;
    } else if (f[0] == "member" && f.size() == 6 && haveInterface) {
      TypeMember m;
      uint32_t id = 0;
      if (!ParseUnsigned(f[1], 0x7FFFFFFF, &id) || f[2].empty()) return std::nullopt;
      m.id = static_cast<DISPID>(id);
      m.name = f[2];
      if (f[3] == "propput") {
        m.kind = MemberKind::kPropertyPut;
      } else if (f[3] == "method") {
        m.kind = MemberKind::kMethod;
      } else {
        return std::nullopt;
      }
      m.params = Words(f[4]);
      if (m.kind == MemberKind::kPropertyPut && m.params.size() != 1) return std::nullopt;
      m.helpString = f[5];
      std::u16string wide(m.name.begin(), m.name.end());
      if (lib.FindMember(m.id) || lib.FindMember(wide)) return std::nullopt;
      lib.members.push_back(std::move(m));
    } else if (f[0] == "coclass" && f.size() == 6 && !haveCoclass) {
      auto clsid = ParseGuid(f[2]);
      auto implemented = Words(f[4]);
      if (f[1].empty() || !clsid || implemented.size() != 2 || implemented[1] != "default") {
        return std::nullopt;
      }
      lib.coclassName = f[1];
      lib.clsid = *clsid;
      lib.coclassFlags = Words(f[3]);
      lib.defaultInterface = implemented[0];
      lib.coclassHelp = f[5];
      haveCoclass = true;
    } else {
      return std::nullopt;
    }
  }
  if (!haveLibrary || !haveInterface || !haveCoclass || lib.defaultInterface != lib.interfaceName) {
    return std::nullopt;
  }
  return lib;
}

void AddTypeLibraryRegistration(const TypeLibrary& lib, const std::string& modulePath,
                                RegBatch* batch) {
  const std::string libid = GuidToString(lib.libid);
  const std::string key = "TypeLib\\" + libid + "\\" + VersionText(lib);
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "%x", lib.lcid);
  const std::string folder = modulePath.substr(0, modulePath.find_last_of('/') + 1);
  batch->DeleteKey(key);
  batch->SetString(key, "", lib.libraryHelp);
  batch->SetString(key + "\\" + lcid + "\\" + lib.sysKind, "", modulePath);
  batch->SetString(key + "\\FLAGS", "", "0");
  batch->SetString(key + "\\HELPDIR", "", folder);

  const std::string iface = "Interface\\" + GuidToString(lib.iid);
  batch->DeleteKey(iface);
  batch->SetString(iface, "", lib.interfaceName);
  batch->SetString(iface + "\\ProxyStubClsid", "", kOleAutomationProxy);
  batch->SetString(iface + "\\ProxyStubClsid32", "", kOleAutomationProxy);
  batch->SetString(iface + "\\TypeLib", "", libid);
  batch->SetString(iface + "\\TypeLib", "Version", VersionText(lib));
}

void AddTypeLibraryRemoval(const TypeLibrary& lib, RegBatch* batch) {
  const std::string libKey = "TypeLib\\" + GuidToString(lib.libid);
  batch->DeleteKey(libKey + "\\" + VersionText(lib));
  // Other versions of the library may still be registered under it.
  batch->DeleteKeyIfEmpty(libKey);
  batch->DeleteKey("Interface\\" + GuidToString(lib.iid));
}

HRESULT LoadRegisteredTypeLibrary(const Guid& libid, uint16_t major, uint16_t minor,
                                  std::shared_ptr<const TypeLibrary>* out) {
  if (!out) return E_POINTER;
  out->reset();
  TypeLibrary probe;
  probe.majorVersion = major;
  probe.minorVersion = minor;
  const std::string key = "TypeLib\\" + GuidToString(libid) + "\\" + VersionText(probe);
  // Locale-neutral first, as a lookup for any locale would fall back to it.
  std::string path;
  if (!RegGetString(Hive::kClassesRoot, key + "\\0\\win32", "", &path) || path.empty()) {
    return TYPE_E_LIBNOTREGISTERED;
  }
  auto text = ReadFileResource(path, "TYPELIB", IDR_TYPELIB);
  if (!text) return TYPE_E_CANTLOADLIBRARY;
  auto lib = ParseTypeLibrary(*text);
  if (!lib || !(lib->libid == libid) || lib->majorVersion != major || lib->minorVersion != minor) {
    return TYPE_E_CANTLOADLIBRARY;
  }
  *out = std::make_shared<const TypeLibrary>(std::move(*lib));
  return S_OK;
}

HRESULT ZarvionTypeLibrary(std::shared_ptr<const TypeLibrary>* out) {
  static std::mutex lock;
  static std::shared_ptr<const TypeLibrary> loaded;
  std::lock_guard guard(lock);
  if (!loaded) {
    HRESULT hr = LoadRegisteredTypeLibrary(LIBID_ZARVIONLib, 1, 0, &loaded);
    if (!Succeeded(hr)) {
      out->reset();
      return hr;
    }
  }
  *out = loaded;
  return S_OK;
}

}  // namespace zarvion
