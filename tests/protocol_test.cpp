#include <gtest/gtest.h>

#include "net/protocol.h"

namespace zarvion {
namespace {

TEST(Protocol, WorkedChecksums) {
  EXPECT_EQ(ComposeLogin().checksum, 139u);
  EXPECT_EQ(ComposeSessionQuery().checksum, 1u);
  EXPECT_EQ(ComposeSelectChannels(0x01FF).checksum, 519u);
  EXPECT_EQ(ComposePlayFileRequest().checksum, 6u);
}

TEST(Protocol, HeaderIsLittleEndianFieldByField) {
  MessageHeader h;
  h.code = 0x07;
  h.channel = 0x03;
  h.param0 = 0x1234;
  h.param1 = 0x5678;
  h.param2 = 0x9ABC;
  h.param3 = 0xDEF0;
  h.param4 = 0x0102;
  h.length = 0x0A0B0C0D;
  h.Seal();
  const auto b = h.Encode();
  const uint8_t expect[16] = {0x07, 0x03, 0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A,
                              0xF0, 0xDE, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(b[i], expect[i]) << "byte " << i;
  const MessageHeader back = MessageHeader::Decode(b.data());
  EXPECT_EQ(back.Encode(), b);
  EXPECT_TRUE(back.ChecksumValid());
}

TEST(Protocol, ChecksumWrapsModulo32Bits) {
  MessageHeader h;
  h.code = 1;
  h.length = 0xFFFFFFFF;
  EXPECT_EQ(h.ComputeChecksum(), 0u);
}

TEST(Protocol, SplitQuantities) {
  MessageHeader info;
  info.param3 = 0x2000;
  info.param4 = 0x0001;
  EXPECT_EQ(PlaybackStepCount(info), 73728u);
  const MessageHeader step = ComposePlaybackStep(70000);
  EXPECT_EQ(step.param0, 4464);
  EXPECT_EQ(step.param1, 1);
  EXPECT_EQ(PlaybackStepNumber(step), 70000u);
  EXPECT_EQ(PlaybackStepCount(ComposePlaybackInfo(73728)), 73728u);
}

TEST(Protocol, VideoParamSetFieldOrder) {
  // Defaults for all channels: saturation, contrast, brightness, hue.
  const MessageHeader h = ComposeVideoParamSet(0, 64, 68, 128, 0);
  EXPECT_EQ(h.code, kVideoParamSet);
  EXPECT_EQ(h.channel, 0);
  EXPECT_EQ(h.param0, 64);
  EXPECT_EQ(h.param1, 68);
  EXPECT_EQ(h.param2, 128);
  EXPECT_EQ(h.param3, 0);
  EXPECT_TRUE(h.ChecksumValid());
}

TEST(Protocol, GridMasks) {
  EXPECT_EQ(GridMask(0), 0x0000);
  EXPECT_EQ(GridMask(4), 0x000F);
  EXPECT_EQ(GridMask(9), 0x01FF);
  EXPECT_EQ(GridMask(16), 0xFFFF);
  EXPECT_EQ(GridMask(40), 0xFFFF);
}

TEST(Protocol, FileRecordLocation) {
  const FileRecord r = FileRecord::WithLocation("CH03_2007_05_12_10_20_30.avi");
  EXPECT_EQ(r.Location(), "CH03_2007_05_12_10_20_30.avi");
  for (size_t i = 0; i < kFileLocationOffset; ++i) EXPECT_EQ(r.bytes[i], 0);

  // A location of 300 bytes keeps 259 and its NUL.
  const FileRecord longer = FileRecord::WithLocation(std::string(300, 'x'));
  EXPECT_EQ(longer.Location().size(), 259u);
  EXPECT_EQ(longer.bytes[kFileRecordSize - 1], 0);

  // A server record with no NUL in the field yields all 260 bytes, no more.
  FileRecord full;
  full.bytes.fill('y');
  EXPECT_EQ(full.Location().size(), kFileLocationSize);
}

}  // namespace
}  // namespace zarvion
