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
// The connection thread reaches the window only through ControlUi (run on
// the GUI thread, waited for, given up on stop) and VideoSink (decoders and
// renderer); the renderer reaches it through Presenter.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include <QPoint>
#include <QPointer>
#include <QRegion>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "platform/surface.h"
#include "settings/command_target.h"
#include "video/recording_repair.h"
#include "video/renderer.h"

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
class XScaledView;
class SettingsDialog;

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

class ControlWindow : public QWidget, public CommandTarget {
  Q_OBJECT

 public:
  explicit ControlWindow(ControlObject& obj, QWidget* parent = nullptr,
                         ControlWindowOptions options = {});
  ~ControlWindow() override;

  // 0 after a full set-up, -1 after one that stopped early.
  int SetupResult() const { return setupComplete_ ? 0 : -1; }
  // The step set-up stopped at (kNone after a full set-up).
  SetupStep FailedStep() const { return failedStep_; }

  // Button clicks and the dialogs' notifications (WM_COMMAND).
  void OnCommand(uint32_t wParam, intptr_t lParam) override;
  // The position slider let go of the mouse (NM_RELEASEDCAPTURE of 205).
  void OnSliderReleased();
  // Left double-click in the video area.
  void OnDoubleClick();

  // The toolbar control with a template id (201..211), or null.
  QWidget* Control(int id) const;
  QAbstractButton* Button(int id) const;
  QSlider* PositionSlider() const;
  SettingsDialog* Settings() const { return settingsDialog_.get(); }
  PlaybackDialog* Playback() const { return playbackDialog_.get(); }
  // Null outside 0..15 and for a decoder that was not made.
  CChannelDecoder* Decoder(int slot) const;
  Renderer* GetRenderer() const { return renderer_.get(); }
  // Follows every frame to the screen (measurements); set before the
  // connection thread gets frames, null to stop.
  void SetFrameTrace(FrameTrace* trace);
  ControlObject& Object() { return obj_; }
  // The repair of the record folder's recordings started at set-up (null
  // when set-up stopped before it).
  RecordingRepair* Repair() const { return repair_.get(); }

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
  class UiBridge;
  class Sink;
  class WindowPresenter;

  void SetUp();
  void TearDown();
  bool Fails(SetupStep step);
  void LayOutToolbar();
  void ShowPendingNotice();
  // Shows a notice of the recorder at `from` ("a.b.c.d:port", or empty).
  void ShowServerText(const QString& from, const QString& text);
  // Sets the record and capture buttons for the view now shown, after
  // leaving `leftView`; ends the recording of a channel no longer shown.
  void MatchViewButtons(uint32_t leftView);

  void Enable(int id, bool enable);
  void SetText(int id, const char* utf8);
  void Send(const struct MessageHeader& header, const void* payload = nullptr, uint32_t size = 0);

  void PlayFile(const char* location);
  void ChooseDrawMode(uint32_t drawMode);
  void ShowChannelParams(uint32_t comboIndex);
  void SendVideoParams(uint32_t comboIndex, uint32_t videoParams);
  void TogglePause();
  void StopPlayback();
  void Capture();
  void ToggleRecording();
  // The decoder of the channel shown alone, or null in any other view.
  CChannelDecoder* ShownDecoder() const;
  // Completes a recording of the channel shown alone, if one runs.
  void StopShownRecording();

  // Called by the presenter on any thread.
  void RequestRepaint();
  // GUI thread: a present at most once per display refresh.
  void SchedulePresent(bool mayPresentNow);
  void PresentChanges();
  // Copies what the renderer changed into front_ (under the renderer lock,
  // which the paint itself never takes); the changed area of the window.
  QRegion CollectChanges();
  // Where the paint writes pixels itself: the device the painter goes to
  // when that is a plain 32-bit image at one device pixel per pixel (the
  // window's backing store), with the widget's offset on it; anything else
  // (a grab, a scaled display) gets the same pixels through canvas_, which
  // Deliver then draws through the painter.
  struct PaintTarget {
    PixelView view;
    int dx = 0;
    int dy = 0;
    bool direct = false;
  };
  PaintTarget TargetFor(QPainter& painter);
  void Deliver(QPainter& painter, const PaintTarget& target, const QRect& r);
  // Paints the single view (singlePicture_ over the video area w x h) into
  // `region`.
  void PaintSingle(QPainter& painter, const QRegion& region, int w, int h);
  // `picture` in pixels, in pictureScratch_ (valid until the next call);
  // an empty view when there is no room for it.
  PixelView Converted(const SharedPicture& picture);
  // Converts `picture` into `into`, which has its size.
  void ConvertInto(const SharedPicture& picture, const PixelView& into);
  // Shows the single view through the X server's stretch (xview_); false
  // where that cannot be done, and the paint then stretches it.
  bool PresentSingleOnX();
  // Paints the grid panes whose pictures the window draws (gridPanes_)
  // into `region`.
  void PaintGridPictures(QPainter& painter, const QRegion& region);
  // Whether the window can be seen now (shown, not minimised).
  void UpdateDrawable();

  ControlObject& obj_;
  ControlWindowOptions options_;
  std::unique_ptr<Ui::ControlWindowForm> form_;
  std::unique_ptr<GuiCalls> calls_;
  std::unique_ptr<UiBridge> uiBridge_;
  std::unique_ptr<Sink> sink_;
  std::unique_ptr<WindowPresenter> presenter_;

  std::unique_ptr<SettingsDialog> settingsDialog_;
  std::unique_ptr<PlaybackDialog> playbackDialog_;
  int cxScreen_ = 0;
  int cyScreen_ = 0;
  std::unique_ptr<Font> hFontSmall_;
  std::unique_ptr<Font> hFontLarge_;
  std::unique_ptr<Renderer> renderer_;
  std::unique_ptr<RecordingRepair> repair_;
  std::array<std::unique_ptr<CChannelDecoder>, 16> apDecoder_;
  std::unique_ptr<ConnectionThread> thread_;

  bool setupComplete_ = false;
  bool tornDown_ = false;
  bool sliderReleasePending_ = false;  // a slider release is queued, not yet handled
  SetupStep failedStep_ = SetupStep::kNone;
  // Set while paintEvent composes, so that presenting does not ask for yet
  // another paint.
  bool inPaint_ = false;
  std::atomic<bool> repaintPending_{false};
  std::atomic<FrameTrace*> trace_{nullptr};
  // What the video area shows: the back surface as of the last collection,
  // or, while singleShown_, singlePicture_ stretched over the whole area
  // with singleCaption_ (the renderer leaves the single view to the paint).
  std::unique_ptr<Surface> front_;
  bool singleShown_ = false;
  Surface singlePicture_;
  SharedPicture singleShared_;  // the picture not yet converted, else empty
  Rect singleSource_;
  std::string singleCaption_;
  // Grid panes drawn by the window, as of the last collection: each holds
  // its channel's latest picture, undecoded to pixels until painted.
  std::array<PanePicture, kDecoderSlots> gridPanes_;
  PictureConverter converter_;
  Surface pictureScratch_;  // one shared picture in pixels, on its way
  // Where the paint draws when it cannot write to its device directly;
  // made when first needed.
  std::unique_ptr<Surface> canvas_;
  TextPainter text_;
  // The single view stretched by the X server, made at the first single
  // view; noXView_ once it turned out that it cannot be made here.
  XScaledView* xview_ = nullptr;
  bool noXView_ = false;
  QTimer presentTimer_;
  int presentIntervalMs_ = 16;
  std::chrono::steady_clock::time_point lastPresent_;
  std::atomic<bool> drawable_{false};
  // The pointer relative to this window as the renderer sees it (for the
  // pane highlight); far outside while the pointer is elsewhere.
  std::atomic<int64_t> pointer_;

  // The server text box: at most one, showing the latest notice.
  QPointer<NoticeBox> noticeBox_;
  std::mutex noticeLock_;
  QString pendingNotice_;      // under noticeLock_
  QString pendingNoticeFrom_;  // under noticeLock_: the recorder's address
  bool noticePosted_ = false;  // under noticeLock_: a call to show it is queued
};

}  // namespace zarvion
