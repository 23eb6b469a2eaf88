// The toolbar's buttons, the dialogs' choices and the double-click: what
// each sends to the recorder and which buttons it leaves enabled. Every
// change of view is a transition of the view model (view/view_model.h).
#include "window/control_window.h"

#include <cstring>
#include <string_view>

#include <QAbstractButton>
#include <QCursor>
#include <QSlider>
#include <QTimer>

#include "net/control_object.h"
#include "net/protocol.h"
#include "net/transfer.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "window/window_layout.h"
#include "window/window_texts.h"

namespace zarvion {
namespace {

// How long after a playback stop the recording's last frames may still land
// in slot 0: its signal flag is cleared after them.
constexpr int kPlaybackTailMs = 100;

}  // namespace

void ControlWindow::Send(const MessageHeader& header, const void* payload, uint32_t size) {
  // A failed send changes nothing else; the handler's state changes stand.
  SendMessage(obj_, header, payload, size);
}

uint16_t ControlWindow::SendingChannels() const {
  uint16_t sending = 0;
  for (int slot = 0; slot < kDecoderSlots; ++slot) {
    const CChannelDecoder* d = Decoder(slot);
    if (d && d->bSignal.load() != 0) sending |= static_cast<uint16_t>(1u << slot);
  }
  return sending;
}

// After a partial set-up the decoders and surfaces the commands rely on may
// be missing: the toolbar and the dialogs' choices do nothing.

void ControlWindow::OnSettings() {
  if (setupComplete_) settingsDialog_->show();
}

void ControlWindow::OnPlaybackRequest() {
  if (!setupComplete_) return;
  playbackDialog_->show();
  playbackDialog_->ClearList();
  Send(ComposeFileListRequest());
}

void ControlWindow::OnFileChosen(const QByteArray& locationGbk) {
  if (!setupComplete_) return;
  Send(ComposePlaybackStop());
  obj_.bPaused = 1;
  // Up to the first NUL, as a location is kept (WithLocation cuts it to
  // what the record holds).
  const char* bytes = locationGbk.constData();
  const FileRecord record =
      FileRecord::WithLocation(std::string_view(bytes, strnlen(bytes, locationGbk.size())));
  Send(ComposePlayFileRequest(), record.bytes.data(), static_cast<uint32_t>(record.bytes.size()));
  // A recording the disabled button could no longer stop would take the
  // played recording's frames into slot 0's file.
  StopShownRecording();
  Enable(kIdRecord, false);
}

void ControlWindow::OnGridChosen(uint32_t layout) {
  if (!setupComplete_) return;
  const ViewStep step = GridChosen(ReadView(obj_), layout);
  ApplyView(obj_, step);
  Send(ComposeSelectChannels(step.mask));
  // In a grid the record button reaches no decoder, so the channel shown
  // alone until now must not go on recording.
  MatchViewButtons(step.Left());
}

void ControlWindow::OnChannelSelected(int index) {
  if (!setupComplete_) return;
  const uint32_t comboIndex = static_cast<uint32_t>(index);
  if (comboIndex == 0 || comboIndex > kMaxChannels) return;
  std::array<uint8_t, 4> entry;
  {
    std::lock_guard lock(obj_.videoParamLock);
    entry = obj_.byVideoParam[comboIndex - 1];
  }
  for (int i = 0; i < 4; ++i) settingsDialog_->SetTrackbarPos(213 + i, entry[i]);
}

void ControlWindow::OnPictureChanged(int index, uint32_t videoParams) {
  if (!setupComplete_) return;
  const uint32_t comboIndex = static_cast<uint32_t>(index);
  const uint8_t brightness = videoParams & 0xFF;
  const uint8_t hue = (videoParams >> 8) & 0xFF;
  const uint8_t saturation = (videoParams >> 16) & 0xFF;
  const uint8_t contrast = (videoParams >> 24) & 0xFF;
  Send(ComposeVideoParamSet(static_cast<uint8_t>(comboIndex & 0xFF), saturation, contrast,
                            brightness, hue));
  // What was sent is now the channel's setting (index 0: every channel's),
  // so choosing the channel again shows it rather than the server's first
  // table.
  const std::array<uint8_t, 4> entry{brightness, hue, saturation, contrast};
  std::lock_guard lock(obj_.videoParamLock);
  if (comboIndex == 0) {
    obj_.byVideoParam.fill(entry);
  } else if (comboIndex <= kMaxChannels) {
    obj_.byVideoParam[comboIndex - 1] = entry;
  }
}

void ControlWindow::OnPlayPause() {
  if (!setupComplete_) return;
  if (obj_.bPaused.load() == 1) {
    obj_.bPaused = 0;
    SetText(kIdPlayPause, kCaptionPause);
  } else {
    obj_.bPaused = 1;
    SetText(kIdPlayPause, kCaptionPlay);
  }
}

void ControlWindow::OnStop() {
  if (!setupComplete_) return;
  Send(ComposePlaybackStop());
  obj_.bPaused = 1;
  Enable(kIdPlayPause, false);
  Enable(kIdStop, false);
  Enable(kIdPosition, false);
  Enable(kIdSettings, true);
  Enable(kIdCapture, false);
  PositionSlider()->setValue(0);
  const ViewStep step = PlaybackStopped(ReadView(obj_));
  ApplyView(obj_, step);
  // The server may have switched to one channel during the playback.
  MatchViewButtons(step.Left());
  Send(ComposeSelectChannels(step.mask));
  // Frames of the recording still on their way land in slot 0 before its
  // signal flag is cleared; the window goes on meanwhile.
  QTimer::singleShot(kPlaybackTailMs, this, [this] {
    if (CChannelDecoder* slot0 = Decoder(0)) slot0->bSignal = 0;
    obj_.bLayoutDirty = 1;
  });
}

void ControlWindow::OnCapture() {
  if (!setupComplete_) return;
  ApplyView(obj_, SnapshotRequested(ReadView(obj_)));
}

CChannelDecoder* ControlWindow::ShownDecoder() const {
  const uint32_t m = obj_.dwDrawMode.load();
  return IsChannelView(m) ? Decoder(static_cast<int>(m)) : nullptr;
}

void ControlWindow::StopShownRecording() {
  CChannelDecoder* decoder = ShownDecoder();
  if (!decoder || decoder->bRecording.load() == 0) return;
  EndRecording(decoder);
  SetText(kIdRecord, kCaptionRecord);
}

void ControlWindow::EndRecording(CChannelDecoder* decoder) {
  if (!decoder || decoder->bRecording.load() == 0) return;
  decoder->StopRecording();
  ReportRecordingEnd(obj_, FileFailure::kNone);
}

void ControlWindow::OnRecord() {
  if (!setupComplete_) return;
  CChannelDecoder* decoder = ShownDecoder();
  if (!decoder) {
    // The server switched the view away from a recording channel: the
    // button, still showing "停止", ends that recording.
    for (int slot = 0; slot < kDecoderSlots; ++slot) EndRecording(Decoder(slot));
    SetText(kIdRecord, kCaptionRecord);
    return;
  }
  if (decoder->bRecording.load() == 0) {
    // A start that could not open the file leaves the decoder idle, and the
    // button keeps offering to record; the host hears why.
    if (decoder->StartRecording()) {
      SetText(kIdRecord, kCaptionStopRecording);
    } else {
      const int error = decoder->RecordError();
      ReportRecordingEnd(obj_, FailureOf(error), error);
    }
  } else {
    EndRecording(decoder);
    SetText(kIdRecord, kCaptionRecord);
  }
}

bool ControlWindow::StartRecording() {
  CChannelDecoder* decoder = setupComplete_ ? ShownDecoder() : nullptr;
  if (!decoder) return false;
  if (decoder->bRecording.load() == 0 && Button(kIdRecord)->isEnabled()) OnRecord();
  return decoder->bRecording.load() != 0;
}

void ControlWindow::StopRecording() {
  CChannelDecoder* decoder = setupComplete_ ? ShownDecoder() : nullptr;
  if (decoder && decoder->bRecording.load() != 0) OnRecord();
}

bool ControlWindow::StartEventRecording(int channel) {
  CChannelDecoder* decoder = setupComplete_ ? Decoder(channel) : nullptr;
  return decoder && decoder->StartEventRecording();
}

void ControlWindow::StopEventRecording(int channel) {
  if (CChannelDecoder* decoder = Decoder(channel)) decoder->StopEventRecording();
}

void ControlWindow::SplitEventRecording(int channel) {
  if (CChannelDecoder* decoder = Decoder(channel)) decoder->SplitEventRecording();
}

EventRecordingStatus ControlWindow::EventRecording(int channel) const {
  const CChannelDecoder* decoder = Decoder(channel);
  return decoder ? decoder->EventRecording() : EventRecordingStatus{};
}

void ControlWindow::ConfigurePreRoll(int channel, size_t bytes, std::chrono::milliseconds preRoll) {
  if (CChannelDecoder* decoder = Decoder(channel)) decoder->ConfigurePreRoll(bytes, preRoll);
}

bool ControlWindow::EnlargeChannel(int channel) {
  if (!setupComplete_ || channel < 0 || channel >= kDecoderSlots) return false;
  const auto shown = [this] { return obj_.dwDrawMode.load(); };
  if (shown() == static_cast<uint32_t>(channel)) return true;
  // From another channel alone, a double-click goes back to the grid first.
  if (IsChannelView(shown())) DoubleClickAt(-1);
  if (!IsGridView(shown())) return false;
  DoubleClickAt(channel);
  return shown() == static_cast<uint32_t>(channel);
}

void ControlWindow::OnSliderReleased() {
  const int released = PositionSlider()->value();
  if (!setupComplete_) {
    sliderReleasePending_ = false;
    return;
  }
  SetText(kIdPlayPause, kCaptionPause);
  // One store: the connection thread's step takes and advances the position
  // in one atomic add, so this seek is never overwritten.
  obj_.dwPlayPos = static_cast<uint32_t>(released);
  sliderReleasePending_ = false;
  obj_.bPaused = 0;
}

void ControlWindow::OnDoubleClick() {
  if (!setupComplete_) return;
  const uint32_t shown = obj_.dwDrawMode.load();
  int pane = -1;
  if (IsGridView(shown)) {
    const QPoint global = options_.cursorPos ? options_.cursorPos() : QCursor::pos();
    const QPoint p = mapFromGlobal(global);
    pane = PaneAtPointer(ClassifyDrawMode(shown).side, width(), height(), p.x(), p.y());
  }
  DoubleClickAt(pane);
}

void ControlWindow::DoubleClickAt(int pane) {
  const ViewStep step = DoubleClick(ReadView(obj_), pane, SendingChannels());
  if (step.Changed() && IsChannelView(step.after.shown)) {
    // The channel enlarged starts with the record button offering to record.
    SetText(kIdRecord, kCaptionRecord);
    EndRecording(Decoder(static_cast<int>(step.after.shown)));
  }
  for (int slot = 0; slot < step.keyFramePanes; ++slot) {
    if (static_cast<uint32_t>(slot) != step.Left()) Decoder(slot)->bWaitKeyFrame = 1;
  }
  if (step.sendMask && obj_.bConnected.load() == 1) Send(ComposeSelectChannels(step.mask));
  ApplyView(obj_, step);
  MatchViewButtons(step.Left());
  renderer_->Redraw();
}

void ControlWindow::MatchViewButtons(uint32_t leftView) {
  const uint32_t m = obj_.dwDrawMode.load();
  // The record button no longer reaches a channel that is not shown alone,
  // so its recording ends with its view.
  if (IsChannelView(leftView) && leftView != m) {
    EndRecording(Decoder(static_cast<int>(leftView)));
    SetText(kIdRecord, kCaptionRecord);
  }
  const ViewButtons buttons = ButtonsFor(m);
  const CChannelDecoder* shown = IsChannelView(m) ? Decoder(static_cast<int>(m)) : nullptr;
  Enable(kIdRecord, buttons.record && shown && shown->bSignal.load() != 0);
  Enable(kIdCapture, buttons.capture);
}

}  // namespace zarvion
