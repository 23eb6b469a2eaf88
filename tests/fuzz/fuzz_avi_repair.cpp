// Fuzz target: the repair of recordings, on files of this viewer's header
// followed by the fuzzer's bytes (or, when the first byte is odd, the
// fuzzer's bytes alone). For every input: a file left alone is unchanged; a
// file repaired in place changed only in its header's fields and by what was
// appended; whatever the repair wrote has a RIFF size equal to its file size,
// a second repair finds it intact, and it holds every whole frame of the
// input, byte for byte and in order.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/avi_file.h"
#include "platform/avi_repair.h"

using namespace zarvion;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
  ::unlink(path.c_str());
  std::ofstream(path, std::ios::binary) << bytes;
}

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

// A folder of this process and the 224 bytes the writer puts first.
struct Setup {
  std::string folder;
  std::string header;
  Setup() {
    // In memory where there is a tmpfs: the repair syncs what it writes.
    std::string pattern =
        std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/fuzz-avi-XXXXXX";
    folder = ::mkdtemp(pattern.data());
    const std::string path = folder + "/header.avi";
    {
      auto avi = AviFile::Open(path, kOfCreate | kOfWrite);
      AviStreamInfo info;
      info.fccType = kStreamTypeVideo;
      info.dwScale = 1;
      info.dwRate = 10;
      info.rcFrame = AviRect{0, 0, 352, 288};
      AviStream* stream = avi->CreateStream(info);
      Check(stream->SetFormat(0, MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 0), 40));
      header = ReadAll(path).substr(0, 224);
      avi->Discard();
    }
  }
  ~Setup() {
    ::unlink((folder + "/CLIENT_CH01_fuzz.avi").c_str());
    ::unlink((folder + "/CLIENT_CH01_fuzz.repaired.avi").c_str());
    ::rmdir(folder.c_str());
  }
};

bool IsTag(const std::string& s, size_t at) {
  return at + 4 <= s.size() && (s.compare(at, 4, "00dc") == 0 || s.compare(at, 4, "idx1") == 0);
}

// The frames no reading can doubt: chunks one after the other from the
// header, each followed by another chunk's tag or the end of the file.
std::vector<std::string> CertainFrames(const std::string& s) {
  std::vector<std::string> frames;
  size_t pos = 224;
  while (pos + 8 <= s.size() && IsTag(s, pos)) {
    const uint64_t size = Le32(s, pos + 4);
    const uint64_t end = pos + 8 + size;
    if (end > s.size()) break;
    const size_t next = static_cast<size_t>(std::min<uint64_t>(end + (size & 1), s.size()));
    if (next != s.size() && !IsTag(s, next)) break;
    if (s.compare(pos, 4, "00dc") == 0 && size > 0) frames.push_back(s.substr(pos + 8, size));
    pos = next;
  }
  return frames;
}

// The frames `file` indexes, checked against their chunks.
std::vector<std::string> IndexedFrames(const std::string& s) {
  Check(s.size() >= 232 && Le32(s, 4) + 8ull == s.size());
  const size_t moviEnd = 220 + Le32(s, 216);
  // Chunks start at even offsets: readers look for the index there.
  Check(moviEnd % 2 == 0 && moviEnd + 8 <= s.size() && s.compare(moviEnd, 4, "idx1") == 0);
  const size_t entries = Le32(s, moviEnd + 4) / 16;
  Check(moviEnd + 8 + 16 * entries == s.size());
  Check(Le32(s, 48) == entries);
  std::vector<std::string> frames;
  for (size_t i = 0; i < entries; ++i) {
    const size_t e = moviEnd + 8 + 16 * i;
    const size_t at = 220 + Le32(s, e + 8);
    const uint32_t size = Le32(s, e + 12);
    Check(s.compare(e, 4, "00dc") == 0 && at + 8 + size <= moviEnd);
    Check(s.compare(at, 4, "00dc") == 0 && Le32(s, at + 4) == size);
    frames.push_back(s.substr(at + 8, size));
  }
  return frames;
}

// `certain` is, in order, within `indexed`.
bool Within(const std::vector<std::string>& certain, const std::vector<std::string>& indexed) {
  size_t j = 0;
  for (const std::string& f : certain) {
    while (j < indexed.size() && indexed[j] != f) ++j;
    if (j == indexed.size()) return false;
    ++j;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  if (size > (1u << 20)) return 0;
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string input = (size > 0 && (data[0] & 1)) ? raw.substr(1) : setup.header + raw;
  const std::string file = setup.folder + "/CLIENT_CH01_fuzz.avi";
  const std::string copy = setup.folder + "/CLIENT_CH01_fuzz.repaired.avi";
  WriteAll(file, input);
  ::unlink(copy.c_str());

  const AviRepairResult r = RepairAvi(file, {});
  const std::string after = ReadAll(file);
  const std::vector<std::string> certain = CertainFrames(input);
  switch (r.status) {
    case AviRepair::kRepaired:
      Check(after.size() > input.size() &&
            after.compare(224, input.size() - 224, input, 224, std::string::npos) == 0);
      Check(Within(certain, IndexedFrames(after)));
      Check(RepairAvi(file) == AviRepair::kIntact);
      break;
    case AviRepair::kCopied: {
      Check(after == input);
      const std::string copied = ReadAll(copy);
      Check(Within(certain, IndexedFrames(copied)));
      Check(RepairAvi(copy) == AviRepair::kIntact);
      Check(RepairAvi(file) == AviRepair::kCopyExists);
      break;
    }
    case AviRepair::kNoFrames:
      Check(certain.empty());
      Check(after == input);
      Check(::access(copy.c_str(), F_OK) != 0);
      break;
    default:
      Check(after == input);
      Check(::access(copy.c_str(), F_OK) != 0);
      break;
  }
  return 0;
}
