#include "shell/persistence.h"

#include <utility>

namespace zarvion {
namespace {

constexpr uint16_t kVtUi4 = 19;
constexpr int kTemplateWidthDlu = 236;
constexpr int kTemplateHeightDlu = 142;
// 9-point 宋体 at 96 dpi is a 12-pixel cell whose Latin letters, the ones
// dialog units are measured with, are half as wide.
constexpr int kFontBaseX = 6;
constexpr int kFontBaseY = 12;
constexpr int kScreenDpi = 96;
constexpr int kHimetricPerInch = 2540;

int64_t MulDivRounded(int64_t a, int64_t b, int64_t c) {
  const int64_t p = a * b;
  return (p >= 0 ? p + c / 2 : p - c / 2) / c;
}

void PutU16(std::string& out, uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}
void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}
  bool U16(uint16_t* v) {
    if (s_.size() < 2) return false;
    *v = static_cast<uint16_t>(Byte(0) | (Byte(1) << 8));
    s_.remove_prefix(2);
    return true;
  }
  bool U32(uint32_t* v) {
    if (s_.size() < 4) return false;
    *v = Byte(0) | (Byte(1) << 8) | (Byte(2) << 16) | (Byte(3) << 24);
    s_.remove_prefix(4);
    return true;
  }
  bool Bytes(size_t n, std::string_view* out) {
    if (s_.size() < n) return false;
    *out = s_.substr(0, n);
    s_.remove_prefix(n);
    return true;
  }
  bool done() const { return s_.empty(); }

 private:
  uint32_t Byte(size_t i) const { return static_cast<unsigned char>(s_[i]); }
  std::string_view s_;
};

std::string Utf16Name(std::string_view ascii) {
  std::string out;
  for (char c : ascii) PutU16(out, static_cast<unsigned char>(c));
  return out;
}

}  // namespace

int DialogUnitsToPixelsX(int units, int baseX) {
  return static_cast<int>(MulDivRounded(units, baseX, 4));
}

int DialogUnitsToPixelsY(int units, int baseY) {
  return static_cast<int>(MulDivRounded(units, baseY, 8));
}

uint32_t PixelsToHimetric(int pixels, int dpi) {
  return static_cast<uint32_t>(MulDivRounded(pixels, kHimetricPerInch, dpi));
}

HimetricSize InitialExtent() {
  return {PixelsToHimetric(DialogUnitsToPixelsX(kTemplateWidthDlu, kFontBaseX), kScreenDpi),
          PixelsToHimetric(DialogUnitsToPixelsY(kTemplateHeightDlu, kFontBaseY), kScreenDpi)};
}

std::string SaveExtent(const HimetricSize& extent) {
  std::string out;
  for (auto [name, value] : {std::pair{"_cx", extent.cx}, std::pair{"_cy", extent.cy}}) {
    const std::string wide = Utf16Name(name);
    PutU16(out, static_cast<uint16_t>(wide.size()));
    out += wide;
    PutU16(out, kVtUi4);
    PutU32(out, value);
  }
  return out;
}

std::optional<HimetricSize> LoadExtent(std::string_view stream) {
  Reader r(stream);
  HimetricSize extent;
  for (auto [name, value] : {std::pair{"_cx", &extent.cx}, std::pair{"_cy", &extent.cy}}) {
    uint16_t nameBytes = 0, vt = 0;
    std::string_view got;
    if (!r.U16(&nameBytes) || !r.Bytes(nameBytes, &got) || got != Utf16Name(name) || !r.U16(&vt) ||
        vt != kVtUi4 || !r.U32(value)) {
      return std::nullopt;
    }
  }
  if (!r.done()) return std::nullopt;
  return extent;
}

std::optional<std::string_view> Storage::Stream(const std::string& name) const {
  auto it = streams_.find(name);
  if (it == streams_.end()) return std::nullopt;
  return std::string_view(it->second);
}

std::string Storage::Serialize() const {
  std::string out = "ZSTG";
  PutU32(out, static_cast<uint32_t>(streams_.size()));
  for (const auto& [name, bytes] : streams_) {
    PutU16(out, static_cast<uint16_t>(name.size()));
    out += name;
    PutU32(out, static_cast<uint32_t>(bytes.size()));
    out += bytes;
  }
  return out;
}

std::optional<Storage> Storage::Parse(std::string_view bytes) {
  if (bytes.substr(0, 4) != "ZSTG") return std::nullopt;
  Reader r(bytes.substr(4));
  uint32_t count = 0;
  if (!r.U32(&count)) return std::nullopt;
  Storage storage;
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t nameSize = 0;
    uint32_t size = 0;
    std::string_view name, data;
    if (!r.U16(&nameSize) || !r.Bytes(nameSize, &name) || !r.U32(&size) || !r.Bytes(size, &data)) {
      return std::nullopt;
    }
    if (storage.streams_.count(std::string(name))) return std::nullopt;
    storage.streams_[std::string(name)] = std::string(data);
  }
  if (!r.done()) return std::nullopt;
  return storage;
}

void SaveExtent(const HimetricSize& extent, Storage* storage) {
  storage->SetStream(kContentsStream, SaveExtent(extent));
}

std::optional<HimetricSize> LoadExtent(const Storage& storage) {
  auto stream = storage.Stream(kContentsStream);
  if (!stream) return std::nullopt;
  return LoadExtent(*stream);
}

}  // namespace zarvion
