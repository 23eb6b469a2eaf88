#include "window/decoder_bank.h"

#include "settings/settings_store.h"
#include "video/renderer.h"

namespace zarvion {

DecoderBank::~DecoderBank() {
  Release();
}

void DecoderBank::Create(Renderer& renderer, const Font* noticeFont, int width, int height,
                         std::function<void(int slot)> onRecordingStopped,
                         std::function<void(int slot, const std::string& path)> onRecordingFile) {
  renderer_ = &renderer;
  for (int slot = 0; slot < kDecoderSlots; ++slot) {
    auto decoder = std::make_unique<CChannelDecoder>();
    decoder->nChannel = slot;
    decoder->hFont = noticeFont;
    decoder->recordFolder = [] { return SettingsStore::ReadFolderSetting(kRecordDir); };
    decoder->onRecordingStopped = [onRecordingStopped, slot] { onRecordingStopped(slot); };
    decoder->onRecordingFile = [onRecordingFile, slot](const std::string& path) {
      onRecordingFile(slot, path);
    };
    renderer.BindDecoder(slot, decoder.get());
    decoder->Create(width, height);
    decoder->bWaitKeyFrame = 1;
    decoders_[static_cast<size_t>(slot)] = std::move(decoder);
  }
}

void DecoderBank::Release() {
  for (auto& decoder : decoders_) {
    if (!decoder) continue;
    decoder->StopRecording();
    decoder.reset();
  }
  renderer_ = nullptr;
}

CChannelDecoder* DecoderBank::Decoder(int slot) const {
  if (slot < 0 || slot >= kDecoderSlots) return nullptr;
  return decoders_[static_cast<size_t>(slot)].get();
}

void DecoderBank::SetFrameTrace(FrameTrace* trace) {
  for (auto& decoder : decoders_) {
    if (decoder) decoder->pTrace = trace;
  }
}

bool DecoderBank::Decode(int slot, const uint8_t* data, uint32_t size, uint16_t flags) {
  CChannelDecoder* decoder = Decoder(slot);
  return decoder ? decoder->Decode(data, size, flags) : true;
}

void DecoderBank::ClearView() {
  renderer_->ClearView();
}

void DecoderBank::PlaceChannel(int slot) {
  renderer_->PlaceChannel(slot);
}

void DecoderBank::Redraw() {
  renderer_->Redraw();
}

void DecoderBank::Tick() {
  for (auto& decoder : decoders_) {
    if (decoder) decoder->MotionIdle();
  }
}

}  // namespace zarvion
