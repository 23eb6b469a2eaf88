// The video area of the control window: what the renderer composed, on the
// screen.
//
// The renderer reaches the window only through this Presenter. Its calls
// come under the renderer lock on either thread, so they never touch a
// widget: the size, the pointer and whether the window can be seen are kept
// in atomics by the GUI thread. Coordinates are window-relative (the
// window's own origin stands for its screen position): the renderer only
// uses the pointer's offset from the window's corner and the window's size.
//
// A present happens at most once per display refresh: the changes are
// copied from the back surface into front_ under the renderer lock, then
// painted from front_, which only the GUI thread touches. The single view
// and the grid panes' pictures are stretched straight onto the paint
// device, or, on an X server, the single view is handed to the server to
// stretch (XScaledView).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QRegion>
#include <QTimer>

#include "platform/surface.h"
#include "video/renderer.h"

class QPainter;
class QWidget;

namespace zarvion {

class Font;
class XScaledView;

class VideoView : public Presenter {
 public:
  // Paints into `widget`, the control window, which outlives it.
  explicit VideoView(QWidget& widget);
  ~VideoView() override;
  VideoView(const VideoView&) = delete;
  VideoView& operator=(const VideoView&) = delete;

  // GUI thread, at set-up and teardown: the renderer whose back surface is
  // shown (null: nothing more to collect) and the captions' font.
  void SetRenderer(Renderer* renderer) { renderer_ = renderer; }
  void SetCaptionFont(const Font* font) { font_ = font; }

  // GUI thread: the state of the widget, for the renderer.
  void SetSize(int width, int height) { size_.store(PackPoint(width, height)); }
  void SetPointer(int x, int y) { pointer_ = PackPoint(x, y); }
  // The pointer is over no pane (elsewhere, or over the toolbar).
  void SetPointerAway() { pointer_ = PackPoint(kPointerAway, kPointerAway); }
  // Whether the window can be seen now (shown, not minimised). Seen again,
  // it is composed at once from the channels' latest pictures; unseen for
  // the release delay, its surfaces and the renderer's are given back
  // (ReleaseSurfaces) and made again when it is next seen.
  void UpdateDrawable();
  void SetReleaseDelay(std::chrono::milliseconds delay) { releaseDelay_ = delay; }
  // GUI thread, while the window cannot be seen: gives back the pictures
  // kept for painting and the renderer's surfaces. False while it can be
  // seen.
  bool ReleaseSurfaces();
  // Follows every frame to the screen; null to stop.
  void SetFrameTrace(FrameTrace* trace) { trace_ = trace; }

  // GUI thread, from the window's paintEvent. RedrawAndCollect composes the
  // picture on this thread (while no connection thread keeps it current)
  // and takes it for the paint.
  void RedrawAndCollect();
  void Paint(const QRegion& asked);

  // Presenter, called under the renderer lock on any thread.
  Rect WindowRect() const override;
  Point CursorPos() const override { return UnpackPoint(pointer_.load()); }
  bool CanDraw() const override { return drawable_.load(); }
  bool DrawsSingleView() const override { return true; }
  bool DrawsGridPictures() const override { return true; }
  void Present(const Rect&, const Rect&) override;

 private:
  // Far outside any pane: the pointer is not over the window.
  static constexpr int kPointerAway = -100000;
  // How soon the single view is presented again while the X server is
  // still reading its pictures.
  static constexpr int kServerBehindMs = 4;
  static int64_t PackPoint(int x, int y) {
    return (static_cast<int64_t>(x) << 32) | static_cast<uint32_t>(y);
  }
  static Point UnpackPoint(int64_t v) {
    return Point{static_cast<int>(v >> 32), static_cast<int>(static_cast<uint32_t>(v))};
  }

  // Called by Present on any thread.
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
  // Stretches `shared` (converted as it goes) or, when that is empty,
  // `plain`, from `source` onto `area` of `to` inside `clip`, opaque.
  void StretchPicture(const SharedPicture& shared, const PixelView& plain, const Rect& source,
                      const PixelView& to, const Rect& area, const Rect& clip);
  // Converts `picture` into `into`, which has its size.
  static void ConvertInto(PictureConverter& converter, const SharedPicture& picture,
                          const PixelView& into);
  // Shows the single view through the X server's stretch (xview_); false
  // where that cannot be done, and the paint then stretches it.
  bool PresentSingleOnX();
  // On the connection thread, under the renderer lock: the single view's
  // new picture straight to the X server's view, while that shows the
  // single view with the same caption over the same area; false leaves
  // the present to this window's thread (a new caption or size, the first
  // picture, the server behind).
  bool PresentSingleDirect();
  // The X server's view no longer shows the single view.
  void XViewDown();
  // The single view's caption over `area`: its pixels as runs of a row.
  std::vector<Rect> CaptionRuns(const Rect& area);
  // Paints the grid panes whose pictures the window draws (gridPanes_)
  // into `region`.
  void PaintGridPictures(QPainter& painter, const QRegion& region);
  // The height of the video area, above the toolbar.
  int AreaHeight() const;

  QWidget& widget_;

  // Any thread: written by the GUI thread, read by the renderer's calls.
  std::atomic<int64_t> size_{0};
  // The pointer relative to the window as the renderer sees it (for the
  // pane highlight); far outside while the pointer is elsewhere.
  std::atomic<int64_t> pointer_{PackPoint(kPointerAway, kPointerAway)};
  std::atomic<bool> drawable_{false};
  std::atomic<bool> repaintPending_{false};  // a present request is queued
  std::atomic<FrameTrace*> trace_{nullptr};

  // Owned by the GUI thread: everything below.
  Renderer* renderer_ = nullptr;
  const Font* font_ = nullptr;
  // Set while the paint composes, so that presenting does not ask for yet
  // another paint.
  bool inPaint_ = false;
  QTimer presentTimer_;
  // Gives the surfaces back once the window has been out of sight a while.
  QTimer releaseTimer_;
  std::chrono::milliseconds releaseDelay_{30000};
  int presentIntervalMs_ = 16;
  std::chrono::steady_clock::time_point lastPresent_;
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
  // view (a child of the window); noXView_ once it turned out that it
  // cannot be made here.
  XScaledView* xview_ = nullptr;
  bool noXView_ = false;

  // The same view for the connection thread, set once it is made; it goes
  // with the window, after the connection thread has ended.
  std::atomic<XScaledView*> xviewAnyThread_{nullptr};
  // Under the X server's view's lock: whether it shows the single view,
  // and the caption it has, over which area.
  bool xUp_ = false;
  std::string xCaption_;
  Rect xCaptionArea_;
  // The connection thread's: the picture it takes and converts itself.
  Surface directPicture_;
  SharedPicture directShared_;
  Rect directSource_;
  std::string directCaption_;
  PictureConverter directConverter_;
};

}  // namespace zarvion
