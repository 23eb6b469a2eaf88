// Conversions between UTF-16, GBK (the wire's and the system's ANSI code
// page, CP936) and UTF-8, through iconv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarvion {

enum class Cut {
  // Stop before a character that would cross the byte limit.
  kWholeCharacters,
  // Cut at the limit even inside a two-byte character, as a byte copy would.
  kBytes,
};

// UTF-16 to GBK, at most maxBytes bytes of output. nullopt when the text
// cannot be converted (a character GBK does not have, a lone surrogate).
[[nodiscard]] std::optional<std::string> Utf16ToGbk(std::u16string_view text, size_t maxBytes,
                                                    Cut cut = Cut::kBytes);
[[nodiscard]] std::optional<std::u16string> GbkToUtf16(std::string_view gbk);

// GBK to UTF-8 for display and local paths; invalid GBK sequences become
// U+FFFD instead of failing, since server texts are untrusted.
std::string GbkToUtf8(std::string_view gbk);
// UTF-8 to GBK; nullopt when a character has no GBK form.
[[nodiscard]] std::optional<std::string> Utf8ToGbk(std::string_view utf8,
                                                   size_t maxBytes = SIZE_MAX,
                                                   Cut cut = Cut::kWholeCharacters);

}  // namespace zarvion
