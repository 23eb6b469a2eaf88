// Fuzz target: the playback-list row cutting and the GBK conversions, on
// server bytes. Round trips that must hold are checked, not just survived.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/playback.h"
#include "net/protocol.h"
#include "platform/code_page.h"

using namespace zarvion;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FileRecord record;
  std::memcpy(record.bytes.data(), data, std::min(size, record.bytes.size()));
  const PlaybackRow row = RowFromRecord(record);
  if (row.channel.size() > 2 || row.time.size() > 19 || row.location.size() > kFileLocationSize) {
    std::abort();
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string utf8 = GbkToUtf8(text);
  static_cast<void>(GbkToUtf16(text));  // any bytes: surviving them is the test
  const size_t limit = size ? data[0] : 0;
  for (Cut cut : {Cut::kBytes, Cut::kWholeCharacters}) {
    if (auto gbk = Utf8ToGbk(utf8, limit, cut); gbk && gbk->size() > limit) std::abort();
    static_cast<void>(Utf8ToGbk(text, SIZE_MAX, cut));  // likewise
    std::u16string u16(size / 2, u'\0');
    std::memcpy(u16.data(), data, u16.size() * 2);
    if (auto gbk = Utf16ToGbk(u16, limit, cut); gbk && gbk->size() > limit) std::abort();
  }
  return 0;
}
