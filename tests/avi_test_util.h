// Reading back the AVI files the tests write: their bytes, their header
// fields, and their packets as ffprobe reads them.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mp43_test_frames.h"

namespace zarvion::testing {

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// "size,flags" per packet, as ffprobe reads them.
inline std::string Packets(const std::string& file) {
  std::string out;
  RunCommand("ffprobe -v error -select_streams v -show_entries packet=size,flags -of csv=p=0 '" +
                 file + "'",
             &out);
  return out;
}

inline std::string PacketLine(size_t size, bool key) {
  return std::to_string(size) + (key ? ",K_\n" : ",__\n");
}

inline std::string ExpectedPackets(const std::vector<EncodedFrame>& frames, size_t from,
                                   size_t count) {
  std::string s;
  for (size_t i = from; i < from + count; ++i) {
    const EncodedFrame& f = frames[i % frames.size()];
    s += PacketLine(f.bytes.size(), f.key);
  }
  return s;
}

// A file whose RIFF covers it whole and that ends with its index.
inline void ExpectIndexed(const std::string& file) {
  const std::string bytes = ReadFile(file);
  ASSERT_GT(bytes.size(), 232u) << file;
  EXPECT_EQ(Le32(bytes, 4), bytes.size() - 8) << file;
  EXPECT_EQ(Le32(bytes, 44) & 0x10, 0x10u) << file << ": no index flag";
  const uint32_t moviEnd = 220 + Le32(bytes, 216);
  ASSERT_LE(moviEnd + 8, bytes.size()) << file;
  EXPECT_EQ(bytes.substr(moviEnd, 4), "idx1") << file;
}

// What a killed writer leaves: every frame written, no index, the header's
// sizes and flags as they were at the start.
inline void CutOffIndex(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0) << file;
  std::string h(224, '\0');
  ASSERT_EQ(::pread(fd, h.data(), h.size(), 0), static_cast<ssize_t>(h.size())) << file;
  const uint32_t moviEnd = 220 + Le32(h, 216);
  const uint32_t riff = moviEnd - 8;
  const uint32_t flags = Le32(h, 44) & ~0x10u;
  EXPECT_EQ(::pwrite(fd, &riff, 4, 4), 4);
  EXPECT_EQ(::pwrite(fd, &flags, 4, 44), 4);
  EXPECT_EQ(::ftruncate(fd, moviEnd), 0) << file;
  ::close(fd);
}

}  // namespace zarvion::testing
