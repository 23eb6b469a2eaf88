// The library's resources (registrar script, type library, toolbox bitmap,
// strings, version record): a table of (type, id, bytes) built from
// src/resources and kept in the section "zarvion_rsrc", so they can be read
// from the running code and from a library file that is not loaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarvion {

constexpr uint32_t IDR_ZARVINET = 102;  // "REGISTRY": the registrar script
constexpr uint32_t IDR_TYPELIB = 1;     // "TYPELIB"
constexpr uint32_t IDB_ZARVINET = 101;  // "BITMAP": toolbox bitmap, 16 x 16, 16 colours
constexpr uint32_t IDS_PROJNAME = 100;  // "STRING": "Zarvion"
constexpr uint32_t IDV_VERSION = 1;     // "VERSION": "key=value" lines

// A resource of the code that is running.
std::optional<std::string_view> FindResource(std::string_view type, uint32_t id);

// A resource of the ELF library at `path`, read from the file. Empty when
// the file cannot be read, is no ELF file, has no resource table or the
// table lacks the entry (each is treated the same: the file carries no
// such resource).
std::optional<std::string> ReadFileResource(const std::string& path, std::string_view type,
                                            uint32_t id);

// An entry of a resource table held in `table`; bounds are checked, since a
// table read from a file is untrusted.
std::optional<std::string_view> FindInResourceTable(std::string_view table, std::string_view type,
                                                    uint32_t id);

// The value of `key` in the version record, if present.
std::optional<std::string> VersionValue(std::string_view key);

}  // namespace zarvion
