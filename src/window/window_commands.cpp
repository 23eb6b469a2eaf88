// The toolbar's and the dialogs' commands, and the double-click that
// changes the view: what each sends to the recorder and which buttons it
// leaves enabled.
#include "window/control_window.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <QCursor>
#include <QSlider>

#include "net/control_object.h"
#include "net/protocol.h"
#include "net/transfer.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "window/gui_calls.h"
#include "window/window_layout.h"
#include "window/window_texts.h"

namespace zarvion {

void ControlWindow::Send(const MessageHeader& header, const void* payload, uint32_t size) {
  // A failed send changes nothing else; the handler's state changes stand.
  SendMessage(obj_, header, payload, size);
}

void ControlWindow::OnCommand(uint32_t wParam, intptr_t lParam) {
  // After a partial set-up the decoders and surfaces the commands rely on
  // may be missing: the toolbar and the dialogs' notifications do nothing.
  if (!setupComplete_) return;
  const uint32_t id = wParam & 0xFFFF;
  const uint32_t code = wParam >> 16;
  const uint32_t param = static_cast<uint32_t>(lParam);
  if (id == kIdSettings && code == kButtonClicked) {
    settingsDialog_->show();
  } else if (id == kIdPlaybackRequest && code == kButtonClicked) {
    playbackDialog_->show();
    playbackDialog_->ClearList();
    Send(ComposeFileListRequest());
  } else if (code == NC_PLAYFILE) {
    PlayFile(reinterpret_cast<const char*>(lParam));
  } else if (code == NC_DRAWMODE) {
    ChooseDrawMode(param);
  } else if (code == NC_SELCHANNEL) {
    ShowChannelParams(param);
  } else if (code == NC_VIDEOPARAM) {
    SendVideoParams(id, param);
  } else if (id == kIdPlayPause && code == kButtonClicked) {
    TogglePause();
  } else if (id == kIdStop && code == kButtonClicked) {
    StopPlayback();
  } else if (id == kIdCapture && code == kButtonClicked) {
    Capture();
  } else if (id == kIdRecord && code == kButtonClicked) {
    ToggleRecording();
  }
}

void ControlWindow::PlayFile(const char* location) {
  // The text belongs to the dialog and lives only for this call.
  char copy[kFileLocationSize] = {};
  if (location) std::memcpy(copy, location, strnlen(location, kFileLocationSize - 1));
  Send(ComposePlaybackStop());
  obj_.bPaused = 1;
  const FileRecord record = FileRecord::WithLocation(copy);
  Send(ComposePlayFileRequest(), record.bytes.data(), static_cast<uint32_t>(record.bytes.size()));
  // A recording the disabled button could no longer stop would take the
  // played recording's frames into slot 0's file.
  StopShownRecording();
  Enable(kIdRecord, false);
}

void ControlWindow::ChooseDrawMode(uint32_t drawMode) {
  // Only the three grids are layouts; anything else would index nothing or
  // a decoder beyond the 16.
  const uint32_t grid = ValidGridOr16(drawMode);
  // In a grid the record button reaches no decoder, so the channel shown
  // alone until now must not go on recording.
  const uint32_t left = obj_.dwDrawMode.load();
  if (left != grid) obj_.bSnapshot = 0;
  obj_.bFitViewToChannels = 0;  // the user's layout, not the recorder's
  obj_.dwDrawMode = grid;
  obj_.dwSavedDrawMode = grid;
  obj_.bLayoutDirty = 1;
  Send(ComposeSelectChannels(GridMask(grid >> 16)));
  MatchViewButtons(left);
}

void ControlWindow::ShowChannelParams(uint32_t comboIndex) {
  if (comboIndex == 0 || comboIndex > kMaxChannels) return;
  std::array<uint8_t, 4> entry;
  {
    std::lock_guard lock(obj_.videoParamLock);
    entry = obj_.byVideoParam[comboIndex - 1];
  }
  for (int i = 0; i < 4; ++i) settingsDialog_->SetTrackbarPos(213 + i, entry[i]);
}

void ControlWindow::SendVideoParams(uint32_t comboIndex, uint32_t videoParams) {
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

void ControlWindow::TogglePause() {
  if (obj_.bPaused.load() == 1) {
    obj_.bPaused = 0;
    SetText(kIdPlayPause, kCaptionPause);
  } else {
    obj_.bPaused = 1;
    SetText(kIdPlayPause, kCaptionPlay);
  }
}

void ControlWindow::StopPlayback() {
  Send(ComposePlaybackStop());
  obj_.bPaused = 1;
  Enable(kIdPlayPause, false);
  Enable(kIdStop, false);
  Enable(kIdPosition, false);
  Enable(kIdSettings, true);
  Enable(kIdCapture, false);
  PositionSlider()->setValue(0);
  const uint32_t left = obj_.dwDrawMode.load();
  const uint32_t saved = obj_.dwSavedDrawMode.load();
  // A snapshot asked for during the playback is not taken in the grid.
  obj_.bSnapshot = 0;
  obj_.dwDrawMode = saved;
  // The server may have switched to one channel during the playback.
  MatchViewButtons(left);
  Send(ComposeSelectChannels(GridMask(saved >> 16)));
  // Frames of the recording still on their way land in slot 0 before its
  // signal flag is cleared.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Decoder(0)->bSignal = 0;
  obj_.bLayoutDirty = 1;
}

void ControlWindow::Capture() {
  obj_.bSnapshot = 1;
}

CChannelDecoder* ControlWindow::ShownDecoder() const {
  const uint32_t m = obj_.dwDrawMode.load();
  return IsChannelView(m) ? Decoder(static_cast<int>(m)) : nullptr;
}

void ControlWindow::StopShownRecording() {
  CChannelDecoder* decoder = ShownDecoder();
  if (!decoder || decoder->bRecording.load() == 0) return;
  decoder->StopRecording();
  SetText(kIdRecord, kCaptionRecord);
}

void ControlWindow::ToggleRecording() {
  CChannelDecoder* decoder = ShownDecoder();
  if (!decoder) {
    // The server switched the view away from a recording channel: the
    // button, still showing "停止", ends that recording.
    for (int slot = 0; slot < kDecoderSlots; ++slot) {
      CChannelDecoder* d = Decoder(slot);
      if (d && d->bRecording.load() != 0) d->StopRecording();
    }
    SetText(kIdRecord, kCaptionRecord);
    return;
  }
  if (decoder->bRecording.load() == 0) {
    // A start that could not open the file leaves the decoder idle, and the
    // button keeps offering to record.
    if (decoder->StartRecording()) SetText(kIdRecord, kCaptionStopRecording);
  } else {
    decoder->StopRecording();
    SetText(kIdRecord, kCaptionRecord);
  }
}

void ControlWindow::OnSliderReleased() {
  // Read before serving the thread's calls below, any of which may be a step.
  const int released = PositionSlider()->value();
  if (!setupComplete_) {
    sliderReleasePending_ = false;
    return;
  }
  SetText(kIdPlayPause, kCaptionPause);
  {
    // The connection thread may hold csPosition while it waits for a call
    // on this thread: serve its calls while waiting for the lock.
    std::unique_lock<std::mutex> hold(obj_.csPosition, std::defer_lock);
    while (!hold.try_lock()) {
      calls_->Drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    obj_.dwPlayPos = static_cast<uint32_t>(released);
  }
  sliderReleasePending_ = false;
  obj_.bPaused = 0;
}

void ControlWindow::OnDoubleClick() {
  if (!setupComplete_) return;
  const uint32_t m = obj_.dwDrawMode.load();
  uint32_t t = m;
  if (IsChannelView(m)) {
    t = obj_.dwSavedDrawMode.load();
    Enable(kIdRecord, false);
    Enable(kIdCapture, false);
    CChannelDecoder* shown = Decoder(static_cast<int>(m));
    if (shown->bSignal.load()) {
      SetText(kIdRecord, kCaptionRecord);
      shown->StopRecording();
    }
  } else if (const int side = GridSide(m)) {
    const QPoint global = options_.cursorPos ? options_.cursorPos() : QCursor::pos();
    const QPoint p = mapFromGlobal(global);
    const int pane = PaneAtPointer(side, width(), height(), p.x(), p.y());
    if (pane >= 0 && Decoder(pane)->bSignal.load()) t = static_cast<uint32_t>(pane);
  }
  // The playback view, and any word that is neither a channel nor a grid,
  // stays as it is.

  bool haveMask = true;
  uint16_t mask = 0;
  if (IsChannelView(t)) {
    CChannelDecoder* target = Decoder(static_cast<int>(t));
    if (target->bSignal.load()) {
      Enable(kIdRecord, true);
      Enable(kIdCapture, true);
      SetText(kIdRecord, kCaptionRecord);
      target->StopRecording();
      obj_.dwDrawMode = t;
      mask = static_cast<uint16_t>(1u << t);
    }
  } else if (t == kDrawPlayback) {
    mask = 0;
  } else if (const int side = GridSide(t)) {
    const int panes = side * side;
    mask = GridMask(static_cast<uint32_t>(panes));
    const uint32_t current = obj_.dwDrawMode.load();
    if (current != t) {
      for (int slot = 0; slot < panes; ++slot) {
        if (static_cast<uint32_t>(slot) != current) Decoder(slot)->bWaitKeyFrame = 1;
      }
    }
    Enable(kIdRecord, false);
    Enable(kIdCapture, false);
  } else {
    haveMask = false;
  }
  if (haveMask && obj_.bConnected.load() == 1) Send(ComposeSelectChannels(mask));
  if (obj_.dwDrawMode.load() != t) {
    obj_.bLayoutDirty = 1;
    // A snapshot asked for in the single view is not taken in the grid.
    obj_.bSnapshot = 0;
  }
  obj_.dwDrawMode = t;
  renderer_->Redraw();
}

void ControlWindow::MatchViewButtons(uint32_t leftView) {
  const uint32_t m = obj_.dwDrawMode.load();
  // The record button no longer reaches a channel that is not shown alone,
  // so its recording ends with its view.
  if (IsChannelView(leftView) && leftView != m) {
    CChannelDecoder* left = Decoder(static_cast<int>(leftView));
    if (left && left->bRecording.load() != 0) left->StopRecording();
    SetText(kIdRecord, kCaptionRecord);
  }
  if (IsChannelView(m)) {
    const bool signal = Decoder(static_cast<int>(m))->bSignal.load() != 0;
    Enable(kIdRecord, signal);
    Enable(kIdCapture, true);
  } else {
    Enable(kIdRecord, false);
    Enable(kIdCapture, m == kDrawPlayback);
  }
}

}  // namespace zarvion
