#include "shell/resources.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/unique_fd.h"

namespace zarvion {

extern const unsigned char kResourceTable[];
extern const size_t kResourceTableSize;

namespace {

constexpr char kSectionName[] = "zarvion_rsrc";
constexpr size_t kHeaderSize = 12;
constexpr size_t kEntrySize = 24;
constexpr size_t kTypeSize = 12;
// A resource table larger than this is not ours.
constexpr uint64_t kMaxTableSize = 64u << 20;

uint32_t U32(std::string_view s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

bool ReadAt(int fd, void* out, size_t size, uint64_t offset) {
  auto* p = static_cast<char*>(out);
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// The bytes of the section named `name` in a 64-bit little-endian ELF file.
std::optional<std::string> ReadSection(const std::string& path, std::string_view name) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return std::nullopt;
  Elf64_Ehdr eh;
  if (!ReadAt(fd.Get(), &eh, sizeof eh, 0)) return std::nullopt;
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_shentsize != sizeof(Elf64_Shdr) ||
      eh.e_shstrndx >= eh.e_shnum) {
    return std::nullopt;
  }
  auto header = [&](size_t i) -> std::optional<Elf64_Shdr> {
    Elf64_Shdr sh;
    if (!ReadAt(fd.Get(), &sh, sizeof sh, eh.e_shoff + i * sizeof sh)) return std::nullopt;
    return sh;
  };
  auto names = header(eh.e_shstrndx);
  if (!names || names->sh_size > kMaxTableSize) return std::nullopt;
  std::string strtab(names->sh_size, '\0');
  if (!ReadAt(fd.Get(), strtab.data(), strtab.size(), names->sh_offset)) return std::nullopt;
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    auto sh = header(i);
    if (!sh) return std::nullopt;
    if (sh->sh_name >= strtab.size()) continue;
    if (std::string_view(strtab.c_str() + sh->sh_name) != name) continue;
    if (sh->sh_type == SHT_NOBITS || sh->sh_size > kMaxTableSize) return std::nullopt;
    std::string bytes(sh->sh_size, '\0');
    if (!ReadAt(fd.Get(), bytes.data(), bytes.size(), sh->sh_offset)) return std::nullopt;
    return bytes;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> FindInResourceTable(std::string_view table, std::string_view type,
                                                    uint32_t id) {
  if (table.size() < kHeaderSize || table.substr(0, 4) != "ZRSC" || U32(table, 4) != 1) {
    return std::nullopt;
  }
  const uint64_t count = U32(table, 8);
  if (count > (table.size() - kHeaderSize) / kEntrySize) return std::nullopt;
  for (uint64_t i = 0; i < count; ++i) {
    const size_t at = kHeaderSize + i * kEntrySize;
    std::string_view t = table.substr(at, kTypeSize);
    t = t.substr(0, t.find('\0'));
    if (t != type || U32(table, at + 12) != id) continue;
    const uint64_t offset = U32(table, at + 16);
    const uint64_t size = U32(table, at + 20);
    if (offset > table.size() || size > table.size() - offset) return std::nullopt;
    return table.substr(offset, size);
  }
  return std::nullopt;
}

std::optional<std::string_view> FindResource(std::string_view type, uint32_t id) {
  return FindInResourceTable(
      std::string_view(reinterpret_cast<const char*>(kResourceTable), kResourceTableSize), type,
      id);
}

std::optional<std::string> ReadFileResource(const std::string& path, std::string_view type,
                                            uint32_t id) {
  auto table = ReadSection(path, kSectionName);
  if (!table) return std::nullopt;
  auto entry = FindInResourceTable(*table, type, id);
  if (!entry) return std::nullopt;
  return std::string(*entry);
}

std::optional<std::string> VersionValue(std::string_view key) {
  auto record = FindResource("VERSION", IDV_VERSION);
  if (!record) return std::nullopt;
  std::string_view rest = *record;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t eq = line.find('=');
    if (eq != std::string_view::npos && line.substr(0, eq) == key) {
      return std::string(line.substr(eq + 1));
    }
  }
  return std::nullopt;
}

}  // namespace zarvion
