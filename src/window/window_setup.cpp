// Set-up and teardown of the control window, step by step (see
// control_window.h for the order and what a failed step leaves).
#include "window/control_window.h"

#include <QGuiApplication>
#include <QScreen>

#include "net/connection_thread.h"
#include "net/control_object.h"
#include "settings/playback_dialog.h"
#include "settings/settings_dialog.h"
#include "settings/settings_store.h"
#include "video/captions.h"
#include "window/connection_bridge.h"
#include "window/gui_calls.h"
#include "window/repair_status.h"
#include "window/video_view.h"
#include "window/window_layout.h"
#include "window/window_texts.h"

namespace zarvion {

bool ControlWindow::Fails(SetupStep step) {
  if (options_.failAt != step) return false;
  failedStep_ = step;
  return true;
}

void ControlWindow::SetUp() {
  // 1-2. csPosition and the server text are part of the control object.
  if (Fails(SetupStep::kServerText)) return;

  // 3. The default view, the stored layout or 4 x 4. With no layout
  // chosen, the session fits the view to the recorder.
  ApplyView(obj_, InitialView(ReadView(obj_), SettingsStore::ReadDrawMode(),
                              SettingsStore::DrawModeChosen()));

  // 4. The dialogs, hidden, telling the window what the user chose.
  settingsDialog_ = std::make_unique<SettingsDialog>(this);
  connect(settingsDialog_.get(), &SettingsDialog::GridChosen, this, &ControlWindow::OnGridChosen);
  connect(settingsDialog_.get(), &SettingsDialog::ChannelSelected, this,
          &ControlWindow::OnChannelSelected);
  connect(settingsDialog_.get(), &SettingsDialog::PictureChanged, this,
          &ControlWindow::OnPictureChanged);
  playbackDialog_ = std::make_unique<PlaybackDialog>(this);
  connect(playbackDialog_.get(), &PlaybackDialog::FileChosen, this, &ControlWindow::OnFileChosen);

  // 5. The socket library: nothing to start on this platform.
  if (Fails(SetupStep::kSocketLibrary)) return;

  // 6. The events. A window made again for the same control object finds
  // them made and the stop event of its predecessor still set.
  EnsureEvents(obj_);
  if (!obj_.hStopEvent) obj_.hStopEvent = std::make_unique<Event>();
  if (!obj_.hIoEvent) obj_.hIoEvent = std::make_unique<Event>();
  obj_.hStopEvent->Reset();

  // 7. The screen size, that of the back surface.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect geometry = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
  cxScreen_ = geometry.width();
  cyScreen_ = geometry.height();

  // 8-9. The display: the renderer, bound to this window, and its
  // screen-sized back surface, cleared to blue 200.
  if (Fails(SetupStep::kDisplayObject)) return;
  renderer_ =
      std::make_unique<Renderer>(ViewWords{obj_.dwDrawMode, obj_.bLayoutDirty, obj_.bSnapshot});
  if (Fails(SetupStep::kCooperativeLevel)) return;
  view_->SetRenderer(renderer_.get());
  view_->SetSize(width(), height());
  if (Fails(SetupStep::kPrimarySurface)) return;
  if (Fails(SetupStep::kBackSurface) || !renderer_->Create(cxScreen_, cyScreen_)) {
    failedStep_ = SetupStep::kBackSurface;
    return;
  }
  if (Fails(SetupStep::kClipper)) return;
  renderer_->SetPresenter(view_.get());

  // 10. The fonts: captions and the decoders' notices.
  hFontSmall_ = std::make_unique<Font>(kFontSmallHeight);
  hFontLarge_ = std::make_unique<Font>(kFontLargeHeight);
  renderer_->SetCaptionFont(hFontSmall_.get());
  view_->SetCaptionFont(hFontSmall_.get());
  renderer_->SetSnapshotFolder([] { return SettingsStore::ReadFolderSetting(kCapDir); });
  // Every step up to the length has been asked for, and the quiet that let
  // the next one go brought nothing: the recording is over.
  renderer_->SetPlaybackEnded([this] { return obj_.dwPlayPos.load() > obj_.dwPlayLength.load(); });
  renderer_->SetCameraNames([this](uint32_t* serial, CameraNames* names) {
    return ReadCameraNames(obj_, serial, names);
  });
  renderer_->SetSnapshotReport([this](const std::string& path, bool saved, int error) {
    ReportSnapshot(obj_, path, saved, error);
  });

  // 11. The frame buffer.
  obj_.pFrameBuffer = std::make_unique<uint8_t[]>(size_t{obj_.wFrameWidth} * obj_.wFrameHeight * 4);

  // Recordings that a crash left without index get it back, so their key
  // frames show and they seek. On a thread of its own: the window never
  // waits for it; the host hears how it goes.
  repair_ = std::make_unique<RecordingRepair>(
      SettingsStore::ReadFolderSetting(kRecordDir), [this](const RecordingRepairNote& note) {
        const QString text = RepairStatusText(note);
        QMetaObject::invokeMethod(
            this, [this, text] { emit RecordingsRepairStatus(text); }, Qt::QueuedConnection);
      });
  repair_->Start();

  // 12. The decoders, in slot order.
  // A recording that stopped by itself (full disk) is told to the host at
  // once and shows "录像" again.
  decoders_.Create(
      *renderer_, hFontLarge_.get(), obj_.wFrameWidth, obj_.wFrameHeight,
      [this](int slot) {
        const int error = Decoder(slot)->RecordError();
        ReportRecordingEnd(obj_, FailureOf(error), error);
        QMetaObject::invokeMethod(
            this,
            [this] {
              CChannelDecoder* shown = ShownDecoder();
              if (shown && shown->bRecording.load() == 0) SetText(kIdRecord, kCaptionRecord);
            },
            Qt::QueuedConnection);
      },
      [this](int slot, const std::string& path) { ReportRecordingFile(obj_, slot, path); });
  for (int slot = 0; slot < kDecoderSlots; ++slot) {
    if (CChannelDecoder* decoder = decoders_.Decoder(slot)) decoder->pMotionBoard = &obj_.motion;
  }

  // 13. The toolbar: only the settings button works before a session.
  LayOutToolbar();
  for (int id : {kIdRecord, kIdCapture, kIdPlaybackRequest, kIdPlayPause, kIdStop, kIdPosition}) {
    Enable(id, false);
  }
  Enable(kIdSettings, true);

  // 14. The connection thread, with the window bound for it.
  bridge_ = std::make_unique<ConnectionBridge>(
      *this, *calls_, [this](uint32_t leftView) { MatchViewButtons(leftView); },
      options_.showWarning);
  obj_.ui = bridge_.get();
  obj_.video = &decoders_;
  setupComplete_ = true;
  // The surfaces are for a window that is seen: made again when it is first
  // shown, they take no memory in a window that never is.
  view_->ReleaseSurfaces();
  if (options_.startConnectionThread) {
    thread_ = std::make_unique<ConnectionThread>(obj_);
    thread_->Start();
  }

  // 15.
  obj_.bLayoutDirty = 1;
}

void ControlWindow::TearDown() {
  if (tornDown_) return;
  tornDown_ = true;
  // The repair stops at its next piece read, leaving its file as it was.
  repair_.reset();
  // 1-3. Stop the connection thread and wait for it to end, so nothing it
  // does can reach what is released below.
  if (obj_.hStopEvent) obj_.hStopEvent->Set();
  calls_->Shutdown();
  if (thread_) {
    thread_->Join();
    thread_.reset();
  }
  if (obj_.ui == bridge_.get()) obj_.ui = nullptr;
  if (obj_.video == &decoders_) obj_.video = nullptr;

  // The server text box goes with the control that showed it.
  if (bridge_) bridge_->CloseNotice();

  // 4. The dialogs.
  settingsDialog_.reset();
  playbackDialog_.reset();

  // 5. The display, then the decoders, each with its recording completed.
  if (renderer_) renderer_->SetPresenter(nullptr);
  view_->SetRenderer(nullptr);
  renderer_.reset();
  decoders_.Release();
  hFontSmall_.reset();
  hFontLarge_.reset();

  // 6. The stop and I/O events stay: a window made again for this control
  // object resets and reuses them; the connect event belongs to the
  // scriptable members.

  // 7.
  obj_.pFrameBuffer.reset();
}

}  // namespace zarvion
