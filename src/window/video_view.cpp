#include "window/video_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <malloc.h>

#include <QGuiApplication>
#include <QPaintEngine>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QTransform>
#include <QWidget>

#include "video/captions.h"
#include "window/window_layout.h"
#include "window/x_scaled_view.h"

namespace zarvion {

namespace {

QRect ToQRect(const Rect& r) {
  return QRect(r.left, r.top, r.Width(), r.Height());
}

Rect Shifted(const Rect& r, int dx, int dy) {
  return Rect{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}

// A paint rectangle on the device, `dx`, `dy` from the widget.
Rect ClipOf(const QRect& r, int dx, int dy) {
  return Rect{dx + r.left(), dy + r.top(), dx + r.right() + 1, dy + r.bottom() + 1};
}

}  // namespace

VideoView::VideoView(QWidget& widget) : widget_(widget) {
  presentTimer_.setSingleShot(true);
  QObject::connect(&presentTimer_, &QTimer::timeout, &widget_, [this] { PresentChanges(); });
  releaseTimer_.setSingleShot(true);
  QObject::connect(&releaseTimer_, &QTimer::timeout, &widget_, [this] { ReleaseSurfaces(); });
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    // At most one present per refresh of the display, and never more than
    // 60 a second.
    const double hz = screen->refreshRate();
    if (hz >= 1) presentIntervalMs_ = std::max(16, static_cast<int>(std::ceil(1000.0 / hz)));
  }
}

VideoView::~VideoView() = default;

Rect VideoView::WindowRect() const {
  const Point size = UnpackPoint(size_.load());
  return Rect{0, 0, size.x, size.y};
}

void VideoView::Present(const Rect&, const Rect&) {
  if (FrameTrace* trace = trace_.load()) trace->Composed();
  // The single view's frames go to the X server from the thread that
  // decoded them: this window's thread is not woken for each of them.
  if (QThread::currentThread() != widget_.thread() && PresentSingleDirect()) return;
  RequestRepaint();
}

int VideoView::AreaHeight() const {
  return std::max(0, widget_.height() - kToolbarStrip);
}

void VideoView::RequestRepaint() {
  if (QThread::currentThread() == widget_.thread()) {
    // This may run under the renderer lock, from a Redraw on this thread:
    // the present is left to the timer.
    if (!inPaint_) SchedulePresent(false);
    return;
  }
  // Frames arrive far faster than the display needs; one queued request at
  // a time is enough.
  if (repaintPending_.exchange(true)) return;
  QMetaObject::invokeMethod(
      &widget_, [this] { SchedulePresent(true); }, Qt::QueuedConnection);
}

void VideoView::SchedulePresent(bool mayPresentNow) {
  if (presentTimer_.isActive()) return;
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - lastPresent_)
                         .count();
  // The recorder sends its channels' frames one right after the other; a
  // moment's wait after the first change takes the rest of them into the
  // same present. A single view shows one channel: nothing to wait for.
  const int64_t gatherMs = singleShown_ ? 0 : 8;
  const int wait = static_cast<int>(
      std::clamp<int64_t>(presentIntervalMs_ - since, gatherMs, presentIntervalMs_));
  // A present due now is made at once rather than after another pass of
  // the event loop.
  if (wait == 0 && mayPresentNow) {
    PresentChanges();
    return;
  }
  presentTimer_.start(wait);
}

void VideoView::PresentChanges() {
  // Cleared first: a composition after the collection below asks again.
  repaintPending_ = false;
  lastPresent_ = std::chrono::steady_clock::now();
  const QRegion changed = CollectChanges();
  if (changed.isEmpty()) return;
  if (singleShown_ && PresentSingleOnX()) return;
  XViewDown();
  // Painted now: the pictures are what this window is for, and a posted
  // update would cost the event loop one more wake-up per frame.
  widget_.repaint(changed);
}

bool VideoView::PresentSingleOnX() {
  // The server's stretch is given device pixels; a scaled display keeps to
  // the paint, which knows the scale.
  if (widget_.devicePixelRatioF() != 1.0) return false;
  if (!xview_) {
    if (noXView_) return false;
    xview_ = XScaledView::Create(&widget_);
    noXView_ = xview_ == nullptr;
    if (noXView_) return false;
    xviewAnyThread_.store(xview_, std::memory_order_release);
  }
  const int w = widget_.width();
  const int h = AreaHeight();
  const Rect area{0, 0, w, h};
  if (area.Empty() || !renderer_) return false;
  if (xview_->geometry() != QRect(0, 0, w, h)) xview_->setGeometry(0, 0, w, h);
  // The connection thread shows pictures through the same view: the
  // picture is taken again under both locks, as it takes its own, so that
  // a later picture is never followed by an earlier one.
  std::unique_lock<std::mutex> frames(renderer_->Lock());
  std::unique_lock<std::mutex> hold(xview_->Lock());
  if (!renderer_->TakeSingle(singlePicture_, &singleSource_, &singleCaption_, &singleShared_)) {
    return false;
  }
  if (FrameTrace* trace = trace_.load()) trace->Taken();
  const bool shared = !singleShared_.Empty();
  const int pw = shared ? singleShared_.Width() : singlePicture_.Width();
  const int ph = shared ? singleShared_.Height() : singlePicture_.Height();
  PixelView picture;
  switch (xview_->Begin(pw, ph, &picture)) {
    case XScaledView::Ready::kYes:
      break;
    case XScaledView::Ready::kBusy:
      // The server has not yet read the last two pictures: looked at again
      // in a moment, when whatever picture is latest then goes. Nothing
      // waits for the server here.
      presentTimer_.start(kServerBehindMs);
      return true;
    case XScaledView::Ready::kNo:
      return false;
  }
  if (shared) {
    ConvertInto(converter_, singleShared_, picture);
  } else {
    // Same size: a copy.
    const PixelView from = singlePicture_.View();
    StretchPixels(picture, picture.Bounds(), picture.Bounds(), from, from.Bounds());
  }
  // The caption's pixels go to the server only when its text or the area
  // changes (its rates, once a second); the server leaves them alone.
  if (singleCaption_ != xCaption_ || !(area == xCaptionArea_)) {
    xview_->SetCaption(CaptionRuns(area), PixelOfColorref(kCaptionSingleColor));
    xCaption_ = singleCaption_;
    xCaptionArea_ = area;
  }
  xview_->Show(singleSource_, area);
  xUp_ = true;
  hold.unlock();
  frames.unlock();
  if (!xview_->isVisible()) {
    // Below whatever the host shows over the area.
    xview_->show();
    xview_->lower();
  }
  if (FrameTrace* trace = trace_.load()) trace->Shown();
  return true;
}

bool VideoView::PresentSingleDirect() {
  XScaledView* xview = xviewAnyThread_.load(std::memory_order_acquire);
  if (!xview || !renderer_) return false;
  std::lock_guard<std::mutex> hold(xview->Lock());
  if (!xUp_ ||
      !renderer_->TakeSingle(directPicture_, &directSource_, &directCaption_, &directShared_)) {
    return false;
  }
  const Point size = UnpackPoint(size_.load());
  const Rect area{0, 0, size.x, std::max(0, size.y - kToolbarStrip)};
  // A new caption (its rates, once a second) or size is the window's to set.
  if (directCaption_ != xCaption_ || !(area == xCaptionArea_)) {
    directShared_.Reset();
    return false;
  }
  const bool shared = !directShared_.Empty();
  const int pw = shared ? directShared_.Width() : directPicture_.Width();
  const int ph = shared ? directShared_.Height() : directPicture_.Height();
  PixelView picture;
  // Never waits for the server: this thread has frames to receive.
  if (xview->Begin(pw, ph, &picture, false) != XScaledView::Ready::kYes) {
    directShared_.Reset();
    return false;
  }
  if (shared) {
    ConvertInto(directConverter_, directShared_, picture);
    directShared_.Reset();
  } else {
    const PixelView from = directPicture_.View();
    StretchPixels(picture, picture.Bounds(), picture.Bounds(), from, from.Bounds());
  }
  xview->Show(directSource_, area);
  if (FrameTrace* trace = trace_.load()) {
    trace->Taken();
    trace->Shown();
  }
  return true;
}

void VideoView::XViewDown() {
  if (!xview_) return;
  {
    std::lock_guard<std::mutex> hold(xview_->Lock());
    xUp_ = false;
  }
  if (xview_->isVisible()) xview_->hide();
}

std::vector<Rect> VideoView::CaptionRuns(const Rect& area) {
  std::vector<Rect> runs;
  const Rect band = Intersect(text_.Extent(font_, singleCaption_, 4, 4), area);
  if (band.Empty()) return runs;
  // The text painted as the paint paints it, onto nothing: the pixels it
  // writes are the caption's.
  std::vector<uint32_t> pixels(static_cast<size_t>(band.Width()) * band.Height(), 0);
  const PixelView view{reinterpret_cast<uint8_t*>(pixels.data()), band.Width(), band.Height(),
                       band.Width() * 4};
  text_.Draw(view, view.Bounds(), font_, singleCaption_, 4 - band.left, 4 - band.top,
             kCaptionSingleColor);
  for (int y = 0; y < band.Height(); ++y) {
    const uint32_t* row = pixels.data() + static_cast<size_t>(y) * band.Width();
    for (int x = 0; x < band.Width();) {
      if (!row[x]) {
        ++x;
        continue;
      }
      const int start = x;
      while (x < band.Width() && row[x]) ++x;
      runs.push_back(Rect{band.left + start, band.top + y, band.left + x, band.top + y + 1});
    }
  }
  return runs;
}

QRegion VideoView::CollectChanges() {
  if (!renderer_) return {};
  std::array<Rect, kMaxChanges> rects;
  QRegion region;
  std::lock_guard<std::mutex> hold(renderer_->Lock());
  const Surface* back = renderer_->BackSurface();
  if (!back || !back->Valid()) return {};
  if (!front_ || front_->Width() != back->Width() || front_->Height() != back->Height()) {
    // Made once, at the back surface's size, and filled whole.
    front_ = std::make_unique<Surface>();
    if (!front_->Create(back->Width(), back->Height())) {
      front_.reset();
      return {};
    }
    std::memcpy(front_->Lock(), back->Lock(), static_cast<size_t>(back->Stride()) * back->Height());
    region += QRect(0, 0, back->Width(), back->Height());
  }
  bool swapped = false;
  const int n = renderer_->TakeChanges(rects, front_.get(), &swapped);
  const uint8_t* from = back->Lock();
  uint8_t* to = front_->Lock();
  const int stride = back->Stride();
  for (int i = 0; i < n; ++i) {
    const Rect& r = rects[static_cast<size_t>(i)];
    region += QRect(r.left, r.top, r.Width(), r.Height());
    if (swapped) continue;
    const size_t bytes = static_cast<size_t>(r.Width()) * 4;
    for (int y = r.top; y < r.bottom; ++y) {
      const size_t at = static_cast<size_t>(y) * stride + static_cast<size_t>(r.left) * 4;
      std::memcpy(to + at, from + at, bytes);
    }
  }
  back->Unlock();
  // The single view is stretched by the paint, over the whole area; going
  // back to the back surface repaints the whole area too.
  const bool wasSingle = singleShown_;
  singleShown_ =
      renderer_->TakeSingle(singlePicture_, &singleSource_, &singleCaption_, &singleShared_);
  const int h = AreaHeight();
  if (singleShown_ || wasSingle) region += QRect(0, 0, widget_.width(), h);
  const uint32_t panes = renderer_->TakeGridPictures(gridPanes_);
  for (int s = 0; s < kDecoderSlots; ++s) {
    if (panes & (1u << s)) region += ToQRect(gridPanes_[static_cast<size_t>(s)].pane);
  }
  if (FrameTrace* trace = trace_.load()) trace->Taken();
  return region.intersected(QRect(0, 0, widget_.width(), h));
}

void VideoView::UpdateDrawable() {
  const QWidget* top = widget_.window();
  const bool drawable = widget_.isVisible() && !(top && top->isMinimized());
  if (drawable_.exchange(drawable) == drawable) return;
  if (!drawable) {
    // Nothing goes to the screen past this window's thread until it
    // presents again.
    if (xview_) {
      std::lock_guard<std::mutex> hold(xview_->Lock());
      xUp_ = false;
    }
    releaseTimer_.start(releaseDelay_);
    return;
  }
  releaseTimer_.stop();
  // What arrived while nobody looked is converted and presented now, not at
  // the next frame: the window shows the current pictures as it appears.
  if (renderer_) {
    renderer_->Redraw();
    presentTimer_.stop();
    PresentChanges();
  }
}

bool VideoView::ReleaseSurfaces() {
  if (!renderer_ || drawable_.load() || !renderer_->ReleaseSurfaces()) return false;
  // The renderer has forgotten front_ (its trades of pixels with it).
  front_.reset();
  canvas_.reset();
  pictureScratch_.Release();
  singlePicture_.Release();
  singleShared_.Reset();
  singleShown_ = false;
  for (PanePicture& p : gridPanes_) p.picture.Reset();
  // The freed pictures are handed back to the system rather than kept for
  // the allocator's next use.
  malloc_trim(0);
  return true;
}

void VideoView::RedrawAndCollect() {
  if (!renderer_) return;
  inPaint_ = true;
  renderer_->Redraw();
  inPaint_ = false;
  CollectChanges();
}

void VideoView::Paint(const QRegion& asked) {
  const int w = widget_.width();
  const int h = AreaHeight();
  QPainter painter(&widget_);
  const QRect strip(0, h, w, widget_.height() - h);
  if (asked.intersects(strip)) painter.fillRect(strip, widget_.palette().window());
  // Painted from front_, which only this thread touches: the connection
  // thread is never held up by the copy to the screen.
  QRect shown;
  if (front_) {
    shown = QRect(0, 0, w, h).intersected(front_->Image().rect());
    const QRegion area = asked.intersected(shown);
    if (singleShown_) {
      PaintSingle(painter, area, w, h);
    } else {
      QRegion drawn;
      for (const PanePicture& p : gridPanes_) {
        if (!p.picture.Empty()) drawn += ToQRect(p.pane);
      }
      for (const QRect& r : area.subtracted(drawn)) {
        painter.drawImage(r.topLeft(), front_->Image(), r);
      }
      PaintGridPictures(painter, area.intersected(drawn));
    }
  }
  // Beyond a back surface the size of the screen there is no picture.
  const QRegion rest = asked.intersected(QRect(0, 0, w, h)).subtracted(QRegion(shown));
  for (const QRect& r : rest) painter.fillRect(r, Qt::black);
  if (FrameTrace* trace = trace_.load()) trace->Shown();
}

VideoView::PaintTarget VideoView::TargetFor(QPainter& painter) {
  PaintTarget t;
  QPaintEngine* engine = painter.paintEngine();
  QPaintDevice* device = engine ? engine->paintDevice() : nullptr;
  const QTransform toDevice = painter.deviceTransform();
  if (device && device->devType() == QInternal::Image &&
      toDevice.type() <= QTransform::TxTranslate) {
    QImage* image = static_cast<QImage*>(device);
    const QImage::Format f = image->format();
    if ((f == QImage::Format_RGB32 || f == QImage::Format_ARGB32_Premultiplied) &&
        image->devicePixelRatio() == 1.0) {
      t.view = PixelView{image->bits(), image->width(), image->height(),
                         static_cast<int>(image->bytesPerLine())};
      t.dx = static_cast<int>(toDevice.dx());
      t.dy = static_cast<int>(toDevice.dy());
      t.direct = true;
      return t;
    }
  }
  if (!canvas_ || canvas_->Width() != front_->Width() || canvas_->Height() != front_->Height()) {
    canvas_ = std::make_unique<Surface>();
    if (!canvas_->Create(front_->Width(), front_->Height())) {
      canvas_.reset();
      return t;
    }
  }
  t.view = canvas_->View();
  return t;
}

void VideoView::Deliver(QPainter& painter, const PaintTarget& target, const QRect& r) {
  if (!target.direct && canvas_) painter.drawImage(r.topLeft(), canvas_->Image(), r);
}

void VideoView::PaintSingle(QPainter& painter, const QRegion& region, int w, int h) {
  if (region.isEmpty()) return;
  // The picture is stretched straight onto the device the paint goes to:
  // one pass over the area, as the renderer's own stretch onto the back
  // surface would have been, without the copy after it.
  const PaintTarget t = TargetFor(painter);
  if (!t.view.pixels) return;
  const Rect area{t.dx, t.dy, t.dx + w, t.dy + h};
  for (const QRect& r : region) {
    const Rect clip = ClipOf(r, t.dx, t.dy);
    // Opaque, as drawing the picture through the painter would make it.
    StretchPicture(singleShared_, singlePicture_.View(), singleSource_, t.view, area, clip);
    text_.Draw(t.view, clip, font_, singleCaption_, t.dx + 4, t.dy + 4, kCaptionSingleColor);
    Deliver(painter, t, r);
  }
}

void VideoView::StretchPicture(const SharedPicture& shared, const PixelView& plain,
                               const Rect& source, const PixelView& to, const Rect& area,
                               const Rect& clip) {
  if (shared.Empty()) {
    StretchPixels(to, area, clip, plain, source, 0xFF000000u);
  } else if (!converter_.Stretch(shared, source, to, area, clip)) {
    // A picture that cannot be converted shows as it would on its surface.
    StretchPixels(to, area, clip, Converted(shared), source, 0xFF000000u);
  }
}

PixelView VideoView::Converted(const SharedPicture& picture) {
  const int w = picture.Width(), h = picture.Height();
  if ((!pictureScratch_.Valid() || pictureScratch_.Width() != w || pictureScratch_.Height() != h) &&
      !pictureScratch_.Create(w, h)) {
    return PixelView{};
  }
  ConvertInto(converter_, picture, pictureScratch_.View());
  return pictureScratch_.View();
}

void VideoView::ConvertInto(PictureConverter& converter, const SharedPicture& picture,
                            const PixelView& into) {
  if (converter.Convert(picture, into.pixels, into.stride)) return;
  // What a picture that cannot be converted shows, as on a channel's surface.
  for (int y = 0; y < into.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(into.pixels + static_cast<size_t>(y) * into.stride);
    std::fill(row, row + into.width, kPixelBlue200);
  }
}

void VideoView::PaintGridPictures(QPainter& painter, const QRegion& region) {
  if (region.isEmpty()) return;
  // Each picture is converted and stretched onto the device in one pass,
  // with its border and caption over it: the pixels the renderer would have
  // put on the back surface.
  const PaintTarget t = TargetFor(painter);
  if (!t.view.pixels) return;
  for (const PanePicture& p : gridPanes_) {
    if (p.picture.Empty()) continue;
    const QRegion part = region.intersected(ToQRect(p.pane));
    if (part.isEmpty()) continue;
    const Rect pane = Shifted(p.pane, t.dx, t.dy);
    for (const QRect& r : part) {
      const Rect clip = ClipOf(r, t.dx, t.dy);
      StretchPicture(p.picture, PixelView{}, p.source, t.view, pane, clip);
      DrawOutline(t.view, pane, clip, p.border | 0xFF000000u);
      text_.Draw(t.view, clip, font_, p.caption, pane.left + 4, pane.top + 4, p.captionColor);
      Deliver(painter, t, r);
    }
  }
}

}  // namespace zarvion
