#include "net/protocol.h"

#include <algorithm>
#include <cstring>

#include "platform/little_endian.h"

namespace zarvion {

uint32_t MessageHeader::ComputeChecksum() const {
  return uint32_t{code} + uint32_t{channel} + uint32_t{param0} + uint32_t{param1} +
         uint32_t{param2} + uint32_t{param3} + uint32_t{param4} + length;
}

void MessageHeader::EncodeTo(uint8_t* out) const {
  out[0] = code;
  out[1] = channel;
  PutLe16(out + 2, param0);
  PutLe16(out + 4, param1);
  PutLe16(out + 6, param2);
  PutLe16(out + 8, param3);
  PutLe16(out + 10, param4);
  PutLe32(out + 12, length);
  PutLe32(out + 16, checksum);
}

MessageHeader::Bytes MessageHeader::Encode() const {
  Bytes b{};
  EncodeTo(b.data());
  return b;
}

MessageHeader MessageHeader::Decode(const uint8_t* in) {
  MessageHeader h;
  h.code = in[0];
  h.channel = in[1];
  h.param0 = GetLe16(in + 2);
  h.param1 = GetLe16(in + 4);
  h.param2 = GetLe16(in + 6);
  h.param3 = GetLe16(in + 8);
  h.param4 = GetLe16(in + 10);
  h.length = GetLe32(in + 12);
  h.checksum = GetLe32(in + 16);
  return h;
}

namespace {

// A sealed header with the fields a message uses; every other field is zero.
MessageHeader Compose(uint8_t code, uint8_t channel = 0, uint16_t param0 = 0, uint16_t param1 = 0,
                      uint16_t param2 = 0, uint16_t param3 = 0, uint16_t param4 = 0,
                      uint32_t length = 0) {
  MessageHeader h;
  h.code = code;
  h.channel = channel;
  h.param0 = param0;
  h.param1 = param1;
  h.param2 = param2;
  h.param3 = param3;
  h.param4 = param4;
  h.length = length;
  h.Seal();
  return h;
}

uint16_t Low16(uint32_t v) {
  return static_cast<uint16_t>(v & 0xFFFF);
}
uint16_t High16(uint32_t v) {
  return static_cast<uint16_t>(v >> 16);
}

}  // namespace

MessageHeader ComposeHeader(uint8_t code) {
  return Compose(code);
}

MessageHeader ComposeLogin() {
  return Compose(kLogin, 0, 0, 0, 0, 0, 0, kLoginPayloadSize);
}
MessageHeader ComposeSessionQuery() {
  return Compose(kSessionQuery);
}
MessageHeader ComposeVideoParamQuery() {
  return Compose(kVideoParamQuery);
}
MessageHeader ComposeFileListRequest() {
  return Compose(kFileListRequest);
}
MessageHeader ComposePlaybackStop() {
  return Compose(kPlaybackStop);
}
// The length of a PlayFileRequest counts records, not bytes.
MessageHeader ComposePlayFileRequest() {
  return Compose(kPlayFileRequest, 0, 0, 0, 0, 0, 0, 1);
}
MessageHeader ComposeSelectChannels(uint16_t mask) {
  return Compose(kSelectChannels, 0, mask);
}
MessageHeader ComposePlaybackStep(uint32_t step) {
  return Compose(kPlaybackStep, 0, Low16(step), High16(step));
}
MessageHeader ComposeVideoParamSet(uint8_t channel, uint8_t saturation, uint8_t contrast,
                                   uint8_t brightness, uint8_t hue) {
  return Compose(kVideoParamSet, channel, saturation, contrast, brightness, hue);
}

MessageHeader ComposeSessionInfo(uint8_t channels, uint16_t flags) {
  return Compose(kSessionInfo, channels, 0, 0, 0, 0, flags);
}
MessageHeader ComposeVideoParamTable(uint32_t records) {
  return Compose(kVideoParamTable, 0, 0, 0, 0, 0, 0, records);
}
MessageHeader ComposeFileList(uint32_t records) {
  return Compose(kFileList, 0, 0, 0, 0, 0, 0, records);
}
MessageHeader ComposePlaybackInfo(uint32_t steps) {
  return Compose(kPlaybackInfo, 0, 0, 0, 0, Low16(steps), High16(steps));
}
MessageHeader ComposeVideoFrame(uint8_t channel, uint16_t frameFlags, uint32_t bytes) {
  return Compose(kVideoFrame, channel, frameFlags, 0, 0, 0, 0, bytes);
}
MessageHeader ComposeSelectView(bool single, uint8_t channelOrPanes) {
  return Compose(kSelectView, channelOrPanes, single ? 1 : 0);
}
MessageHeader ComposeServerNotice(uint32_t bytes) {
  return Compose(kServerNotice, 0, 0, 0, 0, 0, 0, bytes);
}

FileRecord FileRecord::WithLocation(std::string_view location) {
  FileRecord r;
  const size_t n = std::min(location.size(), kFileLocationSize - 1);
  std::memcpy(r.bytes.data() + kFileLocationOffset, location.data(), n);
  return r;
}

std::string_view FileRecord::Location() const {
  const char* p = reinterpret_cast<const char*>(LocationField());
  const void* nul = std::memchr(p, 0, kFileLocationSize);
  const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : kFileLocationSize;
  return {p, n};
}

}  // namespace zarvion
