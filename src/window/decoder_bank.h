// The decoder bank: the 16 channel decoders of the control window, one per
// slot, and the VideoSink through which the connection thread feeds them
// and the renderer.
#pragma once

#include <array>
#include <functional>
#include <memory>

#include "net/video_sink.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"

namespace zarvion {

class Font;

class DecoderBank : public VideoSink {
 public:
  DecoderBank() = default;
  ~DecoderBank() override;
  DecoderBank(const DecoderBank&) = delete;
  DecoderBank& operator=(const DecoderBank&) = delete;

  // GUI thread, at set-up: makes the decoders in slot order, each bound to
  // its slot of `renderer`, writing its notices in `noticeFont`, for frames
  // of width x height. `onRecordingStopped` runs on the decoding thread when
  // a slot's recording stopped by itself; `onRecordingFile` whenever a
  // slot's recording opens a file (CChannelDecoder::onRecordingFile).
  void Create(Renderer& renderer, const Font* noticeFont, int width, int height,
              std::function<void(int slot)> onRecordingStopped,
              std::function<void(int slot, const std::string& path)> onRecordingFile);
  // GUI thread, at teardown (no thread decodes any more): completes every
  // recording and releases the decoders.
  void Release();

  // Null outside 0..15 and for a decoder that was not made.
  CChannelDecoder* Decoder(int slot) const;
  void SetFrameTrace(FrameTrace* trace);

  // VideoSink, for the connection thread.
  bool Decode(int slot, const uint8_t* data, uint32_t size, uint16_t flags) override;
  void ClearView() override;
  void PlaceChannel(int slot) override;
  void Redraw() override;
  void Tick() override;

 private:
  // Set at set-up on the GUI thread, before the connection thread starts;
  // unchanged while it runs.
  Renderer* renderer_ = nullptr;
  std::array<std::unique_ptr<CChannelDecoder>, kDecoderSlots> decoders_;
};

}  // namespace zarvion
