// The control window: the video area above the toolbar of template 103.
//
// Set-up (constructor) acquires, in order: the server text, the default
// view, the two dialogs, the socket library, the events, the display
// surfaces, the fonts, the frame buffer, the 16 channel decoders, the
// toolbar layout and the connection thread. A failed step stops set-up
// there; the window then stays inert (no handler touches what was not made)
// and no thread runs. Teardown (destructor) sets the stop event, joins the
// connection thread, then releases dialogs, surfaces and decoders.
//
// The connection thread reaches the window only through ControlUi (ConnectionBridge:
// run on the GUI thread, waited for, given up on stop) and VideoSink
// (DecoderBank: decoders and renderer); the renderer reaches it through
// Presenter (VideoView, the video area).
//
// This file and control_window.cpp: the widget itself, its toolbar
// controls, Qt events and pointer tracking. Set-up and teardown are in
// window_setup.cpp, the toolbar and dialog commands in window_commands.cpp.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <QByteArray>
#include <QPoint>
#include <QString>
#include <QWidget>

#include "platform/surface.h"
#include "video/recording_repair.h"
#include "video/renderer.h"
#include "window/decoder_bank.h"

class QAbstractButton;
class QSlider;

namespace Ui {
class ControlWindowForm;
}

namespace zarvion {

struct ControlObject;
class ConnectionThread;
class Font;

class GuiCalls;
class NoticeBox;
class PlaybackDialog;
class SettingsDialog;
class ConnectionBridge;
class VideoView;

// The set-up steps that can fail, in their order.
enum class SetupStep {
  kNone,
  kServerText,
  kSocketLibrary,
  kDisplayObject,
  kCooperativeLevel,
  kPrimarySurface,
  kBackSurface,
  kClipper,
};

struct ControlWindowOptions {
  // Makes this step fail (tests of a partial set-up). The platform has no
  // socket library to start and no display object to create, so these steps
  // otherwise always succeed.
  SetupStep failAt = SetupStep::kNone;
  // Shows a server text; the caption names the recorder that sent it
  // ("Zarvion 信息 — a.b.c.d:port"). Default: one non-modal warning box
  // without owner, whose text each later notice replaces; the text is shown
  // as plain characters.
  std::function<void(const QString& caption, const QString& text)> showWarning;
  // The pointer in screen coordinates, read by the double-click. Default:
  // QCursor::pos().
  std::function<QPoint()> cursorPos;
  // Starts the connection thread at the end of set-up (tests of the window
  // alone may leave it out).
  bool startConnectionThread = true;
};

// The caption of a recorder's notice (the notice itself is the recorder's
// text and shown as it came), through the application's translators.
inline constexpr const char* kServerTextCaption =
    QT_TRANSLATE_NOOP("ControlWindow", "Zarvion 信息");

class ControlWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ControlWindow(ControlObject& obj, QWidget* parent = nullptr,
                         ControlWindowOptions options = {});
  ~ControlWindow() override;

  // 0 after a full set-up, -1 after one that stopped early.
  int SetupResult() const { return setupComplete_ ? 0 : -1; }
  // The step set-up stopped at (kNone after a full set-up).
  SetupStep FailedStep() const { return failedStep_; }

  // The toolbar's buttons. After a partial set-up each does nothing.
  void OnRecord();
  void OnCapture();
  void OnSettings();
  void OnPlaybackRequest();
  void OnPlayPause();
  void OnStop();
  // What the user chose in the dialogs: a grid (settings OK), a channel
  // list entry (0: all channels), picture settings to send for an entry,
  // a recording to play.
  void OnGridChosen(uint32_t layout);
  void OnChannelSelected(int index);
  void OnPictureChanged(int index, uint32_t videoParams);
  void OnFileChosen(const QByteArray& locationGbk);
  // The position slider let go of the mouse (NM_RELEASEDCAPTURE of 205).
  void OnSliderReleased();
  // Left double-click in the video area.
  void OnDoubleClick();

  // For the host (C++ only), on the GUI thread: what the pointer and the
  // record button do, without them. The host reads the outcome through
  // Zarvinet::Recording().
  // Shows `channel` (0-based) alone as a double-click on its pane does
  // (from another channel alone, by way of the grid a double-click returns
  // to); only a channel that has sent a picture is enlarged. True when it
  // is shown alone now.
  bool EnlargeChannel(int channel);
  // Presses the record button for the channel shown alone, when it offers
  // to record; true when that channel records now.
  bool StartRecording();
  // Presses it when it offers to stop; harmless otherwise.
  void StopRecording();
  // Event recordings of `channel` (0-based), beside the record button's:
  // any channel that sends, in the grid or alone, begins with the seconds
  // its decoder kept (see CChannelDecoder::StartEventRecording). The host
  // follows them through EventRecording.
  bool StartEventRecording(int channel);
  void StopEventRecording(int channel);
  // Completes the running file at the next key frame; the recording goes on
  // in a new one.
  void SplitEventRecording(int channel);
  EventRecordingStatus EventRecording(int channel) const;
  // The pre-roll a channel keeps from now on, and the bytes it may take
  // (0: none).
  void ConfigurePreRoll(int channel, size_t bytes, std::chrono::milliseconds preRoll);

  // The toolbar control with a template id (201..211), or null.
  QWidget* Control(int id) const;
  QAbstractButton* Button(int id) const;
  QSlider* PositionSlider() const;
  SettingsDialog* Settings() const { return settingsDialog_.get(); }
  PlaybackDialog* Playback() const { return playbackDialog_.get(); }
  // Null outside 0..15 and for a decoder that was not made.
  CChannelDecoder* Decoder(int slot) const;
  Renderer* GetRenderer() const { return renderer_.get(); }
  // How long the window is out of sight before its surfaces are given back
  // (30 s unless set).
  void SetHiddenReleaseDelay(std::chrono::milliseconds delay);
  // Follows every frame to the screen (measurements); set before the
  // connection thread gets frames, null to stop.
  void SetFrameTrace(FrameTrace* trace);
  ControlObject& Object() { return obj_; }
  // The repair of the record folder's recordings started at set-up (null
  // when set-up stopped before it).
  RecordingRepair* Repair() const { return repair_.get(); }
  // A release of the position slider is queued and not yet handled: until
  // then the slider stays where the user let it go.
  bool SliderReleasePending() const { return sliderReleasePending_; }

 signals:
  // What that repair is doing or did, in one line for the host's status
  // bar; empty when there is nothing more to tell.
  void RecordingsRepairStatus(const QString& text);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Set-up and teardown (window_setup.cpp).
  void SetUp();
  void TearDown();
  bool Fails(SetupStep step);

  void LayOutToolbar();
  void Enable(int id, bool enable);
  void SetText(int id, const char* utf8);

  // Toolbar and dialog commands (window_commands.cpp).
  void Send(const struct MessageHeader& header, const void* payload = nullptr, uint32_t size = 0);
  // Bit k set: the decoder of slot k has had a picture.
  uint16_t SendingChannels() const;
  // Sets the record and capture buttons for the view now shown, after
  // leaving `leftView`; ends the recording of a channel no longer shown.
  void MatchViewButtons(uint32_t leftView);
  // The decoder of the channel shown alone, or null in any other view.
  CChannelDecoder* ShownDecoder() const;
  // Completes a recording of the channel shown alone, if one runs.
  void StopShownRecording();
  // Completes `decoder`'s recording, if one runs, and tells the host it
  // stopped.
  void EndRecording(CChannelDecoder* decoder);
  // A double-click on grid pane `pane` (-1: none under the pointer).
  void DoubleClickAt(int pane);

  // Made by the constructor, kept until the window goes.
  ControlObject& obj_;
  const ControlWindowOptions options_;
  std::unique_ptr<Ui::ControlWindowForm> form_;
  std::unique_ptr<GuiCalls> calls_;
  std::unique_ptr<VideoView> view_;

  // Owned by the GUI thread: made by set-up in its order, released by
  // teardown. The connection thread reaches them only through bridge_
  // (its calls run on the GUI thread) and decoders_ (the decoders and the
  // renderer, which guard themselves).
  std::unique_ptr<SettingsDialog> settingsDialog_;
  std::unique_ptr<PlaybackDialog> playbackDialog_;
  int cxScreen_ = 0;
  int cyScreen_ = 0;
  std::unique_ptr<Font> hFontSmall_;
  std::unique_ptr<Font> hFontLarge_;
  std::unique_ptr<Renderer> renderer_;
  std::unique_ptr<RecordingRepair> repair_;
  DecoderBank decoders_;
  std::unique_ptr<ConnectionBridge> bridge_;
  std::unique_ptr<ConnectionThread> thread_;

  // Owned by the GUI thread.
  bool setupComplete_ = false;
  bool tornDown_ = false;
  SetupStep failedStep_ = SetupStep::kNone;
  bool sliderReleasePending_ = false;  // a slider release is queued, not yet handled
};

}  // namespace zarvion
