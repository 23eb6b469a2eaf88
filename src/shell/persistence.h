// What the control persists: its extent, "_cx" and "_cy", unsigned 32-bit
// values (VT_UI4) in HIMETRIC units (0.01 mm), written to a byte stream, or
// to the stream "Contents" of a storage (a container of named streams).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zarvion {

struct HimetricSize {
  uint32_t cx = 0;
  uint32_t cy = 0;
  bool operator==(const HimetricSize&) const = default;
};

// The control window's template, 236 x 142 dialog units in 9-point "宋体",
// converted to pixels at 96 dots per inch and then to HIMETRIC.
HimetricSize InitialExtent();
// Dialog units to pixels for a font whose average character is `baseX`
// pixels wide and `baseY` pixels high; pixels to HIMETRIC at `dpi`. Both
// round to the nearest unit.
int DialogUnitsToPixelsX(int units, int baseX);
int DialogUnitsToPixelsY(int units, int baseY);
uint32_t PixelsToHimetric(int pixels, int dpi);

// The stream: for each property, in the order "_cx", "_cy": its name's
// length in bytes (u16), the name in UTF-16LE, its type (u16, VT_UI4), its
// value (u32); all little-endian.
std::string SaveExtent(const HimetricSize& extent);
// Empty when the stream is short, names another property or type, or has
// bytes left over; a stream from elsewhere is untrusted.
std::optional<HimetricSize> LoadExtent(std::string_view stream);

// A storage: "ZSTG", u32 stream count, then per stream its name's length
// (u16) and UTF-8 name, its size (u32) and its bytes.
class Storage {
 public:
  void SetStream(const std::string& name, std::string bytes) { streams_[name] = std::move(bytes); }
  std::optional<std::string_view> Stream(const std::string& name) const;
  std::string Serialize() const;
  static std::optional<Storage> Parse(std::string_view bytes);

 private:
  std::map<std::string, std::string> streams_;
};

constexpr const char* kContentsStream = "Contents";
void SaveExtent(const HimetricSize& extent, Storage* storage);
std::optional<HimetricSize> LoadExtent(const Storage& storage);

}  // namespace zarvion
