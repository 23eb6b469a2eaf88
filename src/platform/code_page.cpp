#include "platform/code_page.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarvion {
namespace {

constexpr const char* kGbk = "CP936";
constexpr const char* kUtf16 = "UTF-16LE";
constexpr const char* kUtf8 = "UTF-8";

// One descriptor per direction and thread: iconv descriptors carry shift
// state and must not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (Valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`. With `replacement` set, an invalid or incomplete
  // input sequence of `unit` bytes is replaced by it and skipped; without
  // it, such a sequence fails the conversion.
  std::optional<std::string> Run(const char* in, size_t inBytes, const std::string* replacement,
                                 size_t unit) {
    if (!Valid()) return std::nullopt;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.resize(inBytes * 2 + 16);
    char* src = const_cast<char*>(in);
    size_t srcLeft = inBytes;
    size_t used = 0;
    while (srcLeft > 0) {
      char* dst = out.data() + used;
      size_t dstLeft = out.size() - used;
      size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      used = out.size() - dstLeft;
      if (r != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      if ((errno == EILSEQ || errno == EINVAL) && replacement != nullptr) {
        out.resize(std::max(out.size(), used + replacement->size() + 16));
        std::memcpy(out.data() + used, replacement->data(), replacement->size());
        used += replacement->size();
        size_t skip = std::min(unit, srcLeft);
        src += skip;
        srcLeft -= skip;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        continue;
      }
      return std::nullopt;
    }
    out.resize(used);
    return out;
  }

 private:
  iconv_t cd_;
};

Converter& Utf16ToGbkConverter() {
  thread_local Converter c(kGbk, kUtf16);
  return c;
}
Converter& GbkToUtf16Converter() {
  thread_local Converter c(kUtf16, kGbk);
  return c;
}
Converter& GbkToUtf8Converter() {
  thread_local Converter c(kUtf8, kGbk);
  return c;
}
Converter& Utf8ToGbkConverter() {
  thread_local Converter c(kGbk, kUtf8);
  return c;
}

// Applies the byte limit to converted GBK text. A lead byte 0x81..0xFE
// starts a two-byte character; everything else is one byte.
std::string LimitGbk(std::string gbk, size_t maxBytes, Cut cut) {
  if (gbk.size() <= maxBytes) return gbk;
  if (cut == Cut::kBytes) {
    gbk.resize(maxBytes);
    return gbk;
  }
  size_t end = 0;
  while (end < gbk.size()) {
    auto lead = static_cast<unsigned char>(gbk[end]);
    size_t len = (lead >= 0x81 && lead <= 0xFE) ? 2 : 1;
    if (end + len > maxBytes) break;
    end += len;
  }
  gbk.resize(end);
  return gbk;
}

}  // namespace

std::optional<std::string> Utf16ToGbk(std::u16string_view text, size_t maxBytes, Cut cut) {
  if (text.empty()) return std::string();
  // iconv reads bytes; UTF-16LE matches char16_t in memory on the hosts we
  // build for, and a big-endian host would need "UTF-16BE" here.
  auto gbk = Utf16ToGbkConverter().Run(reinterpret_cast<const char*>(text.data()),
                                       text.size() * sizeof(char16_t), nullptr, 0);
  if (!gbk) return std::nullopt;
  return LimitGbk(std::move(*gbk), maxBytes, cut);
}

std::optional<std::u16string> GbkToUtf16(std::string_view gbk) {
  if (gbk.empty()) return std::u16string();
  auto bytes = GbkToUtf16Converter().Run(gbk.data(), gbk.size(), nullptr, 0);
  if (!bytes) return std::nullopt;
  std::u16string out(bytes->size() / sizeof(char16_t), u'\0');
  std::memcpy(out.data(), bytes->data(), out.size() * sizeof(char16_t));
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  if (gbk.empty()) return std::string();
  static const std::string kReplacement = "\xEF\xBF\xBD";
  auto out = GbkToUtf8Converter().Run(gbk.data(), gbk.size(), &kReplacement, 1);
  return out ? std::move(*out) : std::string();
}

std::optional<std::string> Utf8ToGbk(std::string_view utf8, size_t maxBytes, Cut cut) {
  if (utf8.empty()) return std::string();
  auto gbk = Utf8ToGbkConverter().Run(utf8.data(), utf8.size(), nullptr, 0);
  if (!gbk) return std::nullopt;
  return LimitGbk(std::move(*gbk), maxBytes, cut);
}

}  // namespace zarvion
