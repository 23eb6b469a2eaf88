// Messages exchanged with the recorder: codes, the 20-byte header, the
// 276-byte recording record and the 4-byte channel picture record.
//
// Every multi-byte field is little-endian on the wire. Headers are encoded
// and decoded field by field, never by casting memory to a struct, so the
// layout holds whatever the host's byte order or padding rules.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "view/draw_mode.h"  // GridMask: the mask a SelectChannels carries

namespace zarvion {

// Client to server.
enum ClientCode : uint8_t {
  kSessionQuery = 1,
  kFileListRequest = 3,
  kPlayFileRequest = 5,
  kSelectChannels = 8,
  kPlaybackStep = 9,
  kPlaybackStop = 10,
  kLogin = 11,
  kVideoParamQuery = 12,
  kVideoParamSet = 14,
};

// Server to client.
enum ServerCode : uint8_t {
  kSessionInfo = 2,
  kFileList = 4,
  kPlaybackInfo = 6,
  kVideoFrame = 7,
  kSelectView = 8,
  kVideoParamTable = 13,
  kServerNotice = 15,
};

constexpr size_t kHeaderSize = 20;
constexpr size_t kFileRecordSize = 276;
constexpr size_t kFileLocationOffset = 16;
constexpr size_t kFileLocationSize = 260;
constexpr size_t kLoginPayloadSize = 128;
constexpr size_t kVideoParamRecordSize = 4;
constexpr size_t kMaxChannels = 16;
// One frame of 352 x 288 at 4 bytes a pixel: the client's frame buffer.
constexpr uint32_t kFrameBufferSize = 352 * 288 * 4;
constexpr uint32_t kServerTextSize = 1024;
constexpr uint16_t kKeyFrameFlag = 0x10;

// SessionFlags bits (param4 of SessionInfo).
constexpr uint16_t kFlagPlayback = 0x1;
constexpr uint16_t kFlagPictureSettings = 0x2;

struct MessageHeader {
  uint8_t code = 0;
  uint8_t channel = 0;
  uint16_t param0 = 0;
  uint16_t param1 = 0;
  uint16_t param2 = 0;
  uint16_t param3 = 0;
  uint16_t param4 = 0;
  uint32_t length = 0;
  uint32_t checksum = 0;

  // Sum of every field but the checksum, each at its own width, mod 2^32.
  uint32_t ComputeChecksum() const;
  bool ChecksumValid() const { return checksum == ComputeChecksum(); }
  void Seal() { checksum = ComputeChecksum(); }

  using Bytes = std::array<uint8_t, kHeaderSize>;
  Bytes Encode() const;
  void EncodeTo(uint8_t* out) const;
  static MessageHeader Decode(const uint8_t* in);
};

// A header with the given code and every other field zero (checksum sealed).
MessageHeader ComposeHeader(uint8_t code);

// Composers for every client message. Each returns a sealed header; the
// caller sends the payload named in the comment after it.
MessageHeader ComposeLogin();  // then kLoginPayloadSize bytes of the parameter
MessageHeader ComposeSessionQuery();
MessageHeader ComposeVideoParamQuery();
MessageHeader ComposeFileListRequest();
MessageHeader ComposePlaybackStop();
MessageHeader ComposePlayFileRequest();  // then one FileRecord
MessageHeader ComposeSelectChannels(uint16_t mask);
MessageHeader ComposePlaybackStep(uint32_t step);
MessageHeader ComposeVideoParamSet(uint8_t channel, uint8_t saturation, uint8_t contrast,
                                   uint8_t brightness, uint8_t hue);

// Composers for the server side (used by the simulated recorder and tests).
MessageHeader ComposeSessionInfo(uint8_t channels, uint16_t flags);
MessageHeader ComposeVideoParamTable(uint32_t records);  // then records x 4 bytes
MessageHeader ComposeFileList(uint32_t records);         // then records x FileRecord
MessageHeader ComposePlaybackInfo(uint32_t steps);
MessageHeader ComposeVideoFrame(uint8_t channel, uint16_t frameFlags, uint32_t bytes);
MessageHeader ComposeSelectView(bool single, uint8_t channelOrPanes);
MessageHeader ComposeServerNotice(uint32_t bytes);

// Step number of a PlaybackStep, total of a PlaybackInfo.
inline uint32_t PlaybackStepNumber(const MessageHeader& h) {
  return uint32_t{h.param0} | (uint32_t{h.param1} << 16);
}
inline uint32_t PlaybackStepCount(const MessageHeader& h) {
  return uint32_t{h.param3} + uint32_t{h.param4} * 65536u;
}

// 276-byte recording record: 16 bytes the client leaves zero, then a
// 260-byte NUL-terminated location in GBK.
struct FileRecord {
  std::array<uint8_t, kFileRecordSize> bytes{};

  // Copies at most 259 bytes of the location and keeps the rest zero.
  static FileRecord WithLocation(std::string_view location);
  // The location up to its first NUL (at most 260 bytes).
  std::string_view Location() const;
  const uint8_t* LocationField() const { return bytes.data() + kFileLocationOffset; }
};

// Channel picture settings, as carried by VideoParamTable.
struct VideoParamRecord {
  uint8_t brightness = 0;
  uint8_t hue = 0;
  uint8_t saturation = 0;
  uint8_t contrast = 0;
};

}  // namespace zarvion
