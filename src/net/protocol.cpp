#include "net/protocol.h"

#include <algorithm>
#include <cstring>

namespace zarvion {
namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

uint32_t MessageHeader::ComputeChecksum() const {
  return uint32_t{code} + uint32_t{channel} + uint32_t{param0} + uint32_t{param1} +
         uint32_t{param2} + uint32_t{param3} + uint32_t{param4} + length;
}

void MessageHeader::EncodeTo(uint8_t* out) const {
  out[0] = code;
  out[1] = channel;
  Put16(out + 2, param0);
  Put16(out + 4, param1);
  Put16(out + 6, param2);
  Put16(out + 8, param3);
  Put16(out + 10, param4);
  Put32(out + 12, length);
  Put32(out + 16, checksum);
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
  h.param0 = Get16(in + 2);
  h.param1 = Get16(in + 4);
  h.param2 = Get16(in + 6);
  h.param3 = Get16(in + 8);
  h.param4 = Get16(in + 10);
  h.length = Get32(in + 12);
  h.checksum = Get32(in + 16);
  return h;
}

MessageHeader ComposeHeader(uint8_t code) {
  MessageHeader h;
  h.code = code;
  h.Seal();
  return h;
}

namespace {
MessageHeader Sealed(MessageHeader h) {
  h.Seal();
  return h;
}
}  // namespace

MessageHeader ComposeLogin() {
  MessageHeader h;
  h.code = kLogin;
  h.length = kLoginPayloadSize;
  return Sealed(h);
}
MessageHeader ComposeSessionQuery() {
  return ComposeHeader(kSessionQuery);
}
MessageHeader ComposeVideoParamQuery() {
  return ComposeHeader(kVideoParamQuery);
}
MessageHeader ComposeFileListRequest() {
  return ComposeHeader(kFileListRequest);
}
MessageHeader ComposePlaybackStop() {
  return ComposeHeader(kPlaybackStop);
}

MessageHeader ComposePlayFileRequest() {
  MessageHeader h;
  h.code = kPlayFileRequest;
  h.length = 1;  // counted in records
  return Sealed(h);
}

MessageHeader ComposeSelectChannels(uint16_t mask) {
  MessageHeader h;
  h.code = kSelectChannels;
  h.param0 = mask;
  return Sealed(h);
}

MessageHeader ComposePlaybackStep(uint32_t step) {
  MessageHeader h;
  h.code = kPlaybackStep;
  h.param0 = static_cast<uint16_t>(step & 0xFFFF);
  h.param1 = static_cast<uint16_t>(step >> 16);
  return Sealed(h);
}

MessageHeader ComposeVideoParamSet(uint8_t channel, uint8_t saturation, uint8_t contrast,
                                   uint8_t brightness, uint8_t hue) {
  MessageHeader h;
  h.code = kVideoParamSet;
  h.channel = channel;
  h.param0 = saturation;
  h.param1 = contrast;
  h.param2 = brightness;
  h.param3 = hue;
  return Sealed(h);
}

MessageHeader ComposeSessionInfo(uint8_t channels, uint16_t flags) {
  MessageHeader h;
  h.code = kSessionInfo;
  h.channel = channels;
  h.param4 = flags;
  return Sealed(h);
}

MessageHeader ComposeVideoParamTable(uint32_t records) {
  MessageHeader h;
  h.code = kVideoParamTable;
  h.length = records;
  return Sealed(h);
}

MessageHeader ComposeFileList(uint32_t records) {
  MessageHeader h;
  h.code = kFileList;
  h.length = records;
  return Sealed(h);
}

MessageHeader ComposePlaybackInfo(uint32_t steps) {
  MessageHeader h;
  h.code = kPlaybackInfo;
  h.param3 = static_cast<uint16_t>(steps & 0xFFFF);
  h.param4 = static_cast<uint16_t>(steps >> 16);
  return Sealed(h);
}

MessageHeader ComposeVideoFrame(uint8_t channel, uint16_t frameFlags, uint32_t bytes) {
  MessageHeader h;
  h.code = kVideoFrame;
  h.channel = channel;
  h.param0 = frameFlags;
  h.length = bytes;
  return Sealed(h);
}

MessageHeader ComposeSelectView(bool single, uint8_t channelOrPanes) {
  MessageHeader h;
  h.code = kSelectView;
  h.channel = channelOrPanes;
  h.param0 = single ? 1 : 0;
  return Sealed(h);
}

MessageHeader ComposeServerNotice(uint32_t bytes) {
  MessageHeader h;
  h.code = kServerNotice;
  h.length = bytes;
  return Sealed(h);
}

uint16_t GridMask(uint32_t panes) {
  if (panes >= 16) return 0xFFFF;
  return static_cast<uint16_t>((1u << panes) - 1u);
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
