// The control's type library: parsed from the "TYPELIB" resource, written
// to the standard TypeLib and Interface keys on registration, and loaded
// back from the registered library file by LIBID and version for dispatch
// by name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "shell/variant.h"
#include "shell/zarvinet.h"

namespace zarvion {

constexpr HRESULT TYPE_E_LIBNOTREGISTERED = static_cast<HRESULT>(0x8002801D);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = static_cast<HRESULT>(0x8002802B);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = static_cast<HRESULT>(0x80029C4A);

enum class MemberKind { kPropertyPut, kMethod };

struct TypeMember {
  DISPID id = 0;
  std::string name;
  MemberKind kind = MemberKind::kMethod;
  std::vector<std::string> params;  // each a VARIANT passed by value
  std::string helpString;           // UTF-8
};

struct TypeLibrary {
  std::string libraryName;
  Guid libid{};
  uint16_t majorVersion = 0;
  uint16_t minorVersion = 0;
  uint32_t lcid = 0;
  std::string sysKind;
  std::string libraryHelp;

  std::string interfaceName;
  Guid iid{};
  std::vector<std::string> interfaceFlags;  // "dual", "oleautomation"
  std::string interfaceBase;
  std::string interfaceHelp;
  std::vector<TypeMember> members;

  std::string coclassName;
  Guid clsid{};
  std::vector<std::string> coclassFlags;  // "creatable"
  std::string defaultInterface;
  std::string coclassHelp;

  // The member named `name` (ASCII case ignored), or null.
  const TypeMember* FindMember(std::u16string_view name) const;
  const TypeMember* FindMember(DISPID id) const;
  // What dispatch answers for names: the first names a member (its dispatch
  // id), any further ones that member's parameters (each its position, first
  // parameter 0). A name not found gets DISPID_UNKNOWN and makes the call
  // fail with DISP_E_UNKNOWNNAME; when the member is unknown, every id is.
  HRESULT NamesToIds(std::span<const std::u16string_view> names, std::span<DISPID> ids) const;
};

// Parses the text form of a type library; empty when any line is malformed
// or an element is missing or repeated.
std::optional<TypeLibrary> ParseTypeLibrary(std::string_view text);
std::optional<Guid> ParseGuid(std::string_view text);

// Adds the entries the type library's registration makes (the library's
// key under TypeLib, its interface under Interface), naming `modulePath`.
void AddTypeLibraryRegistration(const TypeLibrary& lib, const std::string& modulePath,
                                RegBatch* batch);
void AddTypeLibraryRemoval(const TypeLibrary& lib, RegBatch* batch);

// The type library registered for `libid` with version major.minor, read
// from the library file the registration names. Fails with
// TYPE_E_LIBNOTREGISTERED when no such registration exists and
// TYPE_E_CANTLOADLIBRARY when the file holds no readable type library.
HRESULT LoadRegisteredTypeLibrary(const Guid& libid, uint16_t major, uint16_t minor,
                                  std::shared_ptr<const TypeLibrary>* out);

// ZARVIONLib as dispatch uses it: loaded on first use, then kept for the
// process and shared by every control object; a failed load is tried again
// on the next request, so registering later makes dispatch work.
HRESULT ZarvionTypeLibrary(std::shared_ptr<const TypeLibrary>* out);

}  // namespace zarvion
