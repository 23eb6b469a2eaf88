#include "window/x_scaled_view.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

namespace zarvion {

namespace {

struct FreeReply {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

bool Present(xcb_connection_t* c, xcb_extension_t* extension) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, extension);
  return data && data->present;
}

// The render format of `visual`, when its pixels are laid out as ours
// (X8R8G8B8); 0 otherwise.
uint32_t FormatOf(xcb_connection_t* c, xcb_visualid_t visual, uint8_t depth) {
  Reply<xcb_render_query_pict_formats_reply_t> formats(
      xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
  if (!formats) return 0;
  xcb_render_pictformat_t found = 0;
  for (auto s = xcb_render_query_pict_formats_screens_iterator(formats.get()); s.rem && !found;
       xcb_render_pictscreen_next(&s)) {
    for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem && !found;
         xcb_render_pictdepth_next(&d)) {
      for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem;
           xcb_render_pictvisual_next(&v)) {
        if (v.data->visual == visual) {
          found = v.data->format;
          break;
        }
      }
    }
  }
  for (auto f = xcb_render_query_pict_formats_formats_iterator(formats.get()); f.rem;
       xcb_render_pictforminfo_next(&f)) {
    const xcb_render_pictforminfo_t& info = *f.data;
    if (info.id != found) continue;
    const xcb_render_directformat_t& d = info.direct;
    const bool ours = info.type == XCB_RENDER_PICT_TYPE_DIRECT && info.depth == depth &&
                      d.red_shift == 16 && d.red_mask == 0xFF && d.green_shift == 8 &&
                      d.green_mask == 0xFF && d.blue_shift == 0 && d.blue_mask == 0xFF;
    return ours ? found : 0;
  }
  return 0;
}

// Whether a Z image of `depth` has 32 bits a pixel, least significant
// byte first, as our pixels do.
bool ThirtyTwoBits(xcb_connection_t* c, uint8_t depth) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
    if (f.data->depth == depth) return f.data->bits_per_pixel == 32;
  }
  return false;
}

xcb_render_fixed_t Fixed(double v) {
  return static_cast<xcb_render_fixed_t>(std::llround(v * 65536.0));
}

}  // namespace

XScaledView* XScaledView::Create(QWidget* parent) {
  const QByteArray choice = qgetenv("ZARVION_X_SCALING");
  if (choice == "0") return nullptr;
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
  auto* view = new XScaledView(parent);
  if (!view->Init()) {
    delete view;
    return nullptr;
  }
  return view;
}

XScaledView::XScaledView(QWidget* parent) : QWidget(parent) {
  // A window of its own inside the top-level one. Qt gives its parents and
  // their other children windows of their own as well, which keeps widgets
  // that a host shows over the area (a banner, say) above the picture.
  setAttribute(Qt::WA_DontCreateNativeAncestors);
  setAttribute(Qt::WA_NativeWindow);
  setAttribute(Qt::WA_PaintOnScreen);
  setAttribute(Qt::WA_NoSystemBackground);
  setAttribute(Qt::WA_OpaquePaintEvent);
  // Pointer events are left to the control window under it.
  setMouseTracking(true);
  hide();
}

XScaledView::~XScaledView() {
  if (!c_) return;
  // Nothing is waited for: the server frees what it still reads only after
  // the requests before, and keeps its own attachment of the memory until
  // it detaches it.
  for (Buffer& b : buffers_) {
    ReleasePixmap(b);
    ReleaseMemory(b);
  }
  if (windowPicture_) xcb_render_free_picture(c_, windowPicture_);
  if (gc_) xcb_free_gc(c_, gc_);
  xcb_flush(c_);
}

bool XScaledView::Init() {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || !x11->connection()) return false;
  xcb_connection_t* c = x11->connection();
  if (!Present(c, &xcb_render_id) || !Present(c, &xcb_shm_id)) return false;
  // Picture transforms and filters came with render 0.6.
  Reply<xcb_render_query_version_reply_t> version(
      xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
  if (!version || (version->major_version == 0 && version->minor_version < 6)) return false;
  Reply<xcb_shm_query_version_reply_t> shm(
      xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
  if (!shm) return false;

  const auto window = static_cast<xcb_window_t>(winId());
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  Reply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
  if (!attributes || !geometry || !ThirtyTwoBits(c, geometry->depth)) return false;
  const uint32_t format = FormatOf(c, attributes->visual, geometry->depth);
  if (!format) return false;

  c_ = c;
  window_ = window;
  depth_ = geometry->depth;
  format_ = format;
  sharedPixmaps_ = shm->shared_pixmaps && shm->pixmap_format == XCB_IMAGE_FORMAT_Z_PIXMAP;
  gc_ = xcb_generate_id(c);
  const uint32_t noExposures = 0;
  xcb_create_gc(c, gc_, window, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
  windowPicture_ = xcb_generate_id(c);
  xcb_render_create_picture(c, windowPicture_, window, format, 0, nullptr);
  // A remote display cannot share memory: find that out now.
  return EnsureMemory(buffers_[0], size_t{352} * 288 * 4);
}

bool XScaledView::EnsureMemory(Buffer& b, size_t bytes) {
  if (b.memory && b.bytes >= bytes) return true;
  // A pixmap over the old memory goes with it.
  ReleasePixmap(b);
  ReleaseMemory(b);
  const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) return false;
  void* at = shmat(id, nullptr, 0);
  if (at == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return false;
  }
  const uint32_t segment = xcb_generate_id(c_);
  Reply<xcb_generic_error_t> error(
      // A pixmap is made over memory only that the server may write.
      xcb_request_check(c_, xcb_shm_attach_checked(c_, segment, static_cast<uint32_t>(id),
                                                    sharedPixmaps_ ? 0 : 1)));
  // Both sides are attached (or the server never will be): the segment
  // goes with the last detach, even if this process dies.
  shmctl(id, IPC_RMID, nullptr);
  if (error) {
    shmdt(at);
    return false;
  }
  b.memory = static_cast<uint8_t*>(at);
  b.bytes = bytes;
  b.segment = segment;
  return true;
}

void XScaledView::ReleaseMemory(Buffer& b) {
  if (!b.memory) return;
  // The server keeps its attachment until it handles the detach, after
  // everything sent before that reads the memory.
  xcb_shm_detach(c_, b.segment);
  shmdt(b.memory);
  b.memory = nullptr;
  b.bytes = 0;
  b.segment = 0;
  b.pending = false;
}

bool XScaledView::EnsurePixmap(Buffer& b, int width, int height) {
  if (b.pixmap && b.width == width && b.height == height) return true;
  ReleasePixmap(b);
  const uint32_t pixmap = xcb_generate_id(c_);
  Reply<xcb_generic_error_t> error(xcb_request_check(
      c_, sharedPixmaps_
              ? xcb_shm_create_pixmap_checked(c_, pixmap, window_, static_cast<uint16_t>(width),
                                              static_cast<uint16_t>(height), depth_, b.segment, 0)
              : xcb_create_pixmap_checked(c_, depth_, pixmap, window_,
                                          static_cast<uint16_t>(width),
                                          static_cast<uint16_t>(height))));
  if (error) {
    if (!sharedPixmaps_) return false;
    // Put into a pixmap of its own from now on.
    sharedPixmaps_ = false;
    return EnsurePixmap(b, width, height);
  }
  b.pixmap = pixmap;
  b.picture = xcb_generate_id(c_);
  xcb_render_create_picture(c_, b.picture, pixmap, format_, 0, nullptr);
  static const char kNearest[] = "nearest";
  xcb_render_set_picture_filter(c_, b.picture, sizeof kNearest - 1, kNearest, 0, nullptr);
  b.width = width;
  b.height = height;
  return true;
}

void XScaledView::ReleasePixmap(Buffer& b) {
  if (b.picture) xcb_render_free_picture(c_, b.picture);
  if (b.pixmap) xcb_free_pixmap(c_, b.pixmap);
  b.picture = b.pixmap = 0;
  b.width = b.height = 0;
  b.source = b.area = Rect{};
}

bool XScaledView::Read(Buffer& b) {
  if (!b.pending) return true;
  void* reply = nullptr;
  xcb_generic_error_t* error = nullptr;
  // Reads what the server has sent, if nobody else is reading it; the
  // answer is kept for whoever asks for it later.
  if (!xcb_poll_for_reply(c_, b.sequence, &reply, &error)) return false;
  std::free(reply);
  std::free(error);
  b.pending = false;
  return true;
}

XScaledView::Ready XScaledView::Begin(int width, int height, PixelView* picture, bool mayMake) {
  if (width <= 0 || height <= 0 || width > 4096 || height > 4096) return Ready::kNo;
  if (xcb_connection_has_error(c_)) return Ready::kNo;
  Buffer& b = buffers_[next_];
  // The server reads the memory when it composes (or puts) the picture:
  // never written before it has. The other picture is on the screen; this
  // one was shown before it, so the server is two pictures behind.
  if (!Read(b)) return Ready::kBusy;
  const size_t pictureBytes = static_cast<size_t>(width) * height * 4;
  const bool made = b.pixmap && b.width == width && b.height == height && b.bytes >= pictureBytes;
  if (!made && !mayMake) return Ready::kBusy;
  if (!EnsureMemory(b, pictureBytes) || !EnsurePixmap(b, width, height)) return Ready::kNo;
  *picture = PixelView{b.memory, width, height, width * 4};
  return Ready::kYes;
}

void XScaledView::SetCaption(std::vector<Rect> runs, uint32_t pixel) {
  captionRuns_ = std::move(runs);
  captionPixel_ = pixel;
  captionChanged_ = true;
  clipValid_ = false;
}

void XScaledView::Show(const Rect& source, const Rect& area) {
  Buffer& b = buffers_[next_];
  if (!b.pixmap || source.Empty() || area.Empty()) return;
  source_ = source;
  area_ = area;
  if (!sharedPixmaps_) {
    xcb_shm_put_image(c_, b.pixmap, gc_, static_cast<uint16_t>(b.width),
                      static_cast<uint16_t>(b.height), 0, 0, static_cast<uint16_t>(b.width),
                      static_cast<uint16_t>(b.height), 0, 0, depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                      b.segment, 0);
  }
  if (!(b.source == source) || !(b.area == area)) {
    // Destination pixel i samples the source at (i + 0.5) s / D; the server
    // takes the pixel that holds the point just below it, so one unit more
    // gives the pixel that holds the point itself, as StretchPixels does.
    const double sx = static_cast<double>(source.Width()) / area.Width();
    const double sy = static_cast<double>(source.Height()) / area.Height();
    const xcb_render_transform_t transform{
        Fixed(sx), 0, static_cast<xcb_render_fixed_t>(source.left * 65536 + 1),
        0, Fixed(sy), static_cast<xcb_render_fixed_t>(source.top * 65536 + 1),
        0, 0, 65536};
    xcb_render_set_picture_transform(c_, b.picture, transform);
    b.source = source;
    b.area = area;
  }
  current_ = next_;
  next_ ^= 1;
  Compose(false);
  xcb_flush(c_);
}

namespace {

xcb_rectangle_t XRect(const QRect& r) {
  return xcb_rectangle_t{static_cast<int16_t>(r.x()), static_cast<int16_t>(r.y()),
                         static_cast<uint16_t>(r.width()), static_cast<uint16_t>(r.height())};
}

}  // namespace

void XScaledView::Compose(bool whole) {
  // The picture goes everywhere in the area but the caption's pixels, so
  // that the caption is never missing from the screen for a moment and
  // need not be sent with every picture.
  if (!clipValid_ || !(clipArea_ == area_)) {
    // Around the runs' bounds, then each of their rows between its runs.
    std::vector<xcb_rectangle_t> rects;
    rects.reserve(captionRuns_.size() * 2 + 4);
    const auto add = [&](int left, int top, int right, int bottom) {
      if (right > left && bottom > top) {
        rects.push_back(XRect(QRect(left, top, right - left, bottom - top)));
      }
    };
    Rect b = captionRuns_.empty() ? Rect{} : captionRuns_.front();
    for (const Rect& r : captionRuns_) {
      b = Rect{std::min(b.left, r.left), std::min(b.top, r.top), std::max(b.right, r.right),
               std::max(b.bottom, r.bottom)};
    }
    b = Intersect(b, area_);
    if (b.Empty()) {
      add(area_.left, area_.top, area_.right, area_.bottom);
    } else {
      add(area_.left, area_.top, area_.right, b.top);
      add(area_.left, b.top, b.left, b.bottom);
      add(b.right, b.top, area_.right, b.bottom);
      add(area_.left, b.bottom, area_.right, area_.bottom);
      size_t i = 0;
      for (int y = b.top; y < b.bottom; ++y) {
        int x = b.left;
        while (i < captionRuns_.size() && captionRuns_[i].top < y) ++i;
        for (; i < captionRuns_.size() && captionRuns_[i].top == y; ++i) {
          add(x, y, captionRuns_[i].left, y + 1);
          x = std::max(x, captionRuns_[i].right);
        }
        add(x, y, b.right, y + 1);
      }
    }
    xcb_render_set_picture_clip_rectangles(c_, windowPicture_, 0, 0,
                                           static_cast<uint32_t>(rects.size()), rects.data());
    clipArea_ = area_;
    clipValid_ = true;
  }
  Buffer& b = buffers_[current_];
  xcb_render_composite(c_, XCB_RENDER_PICT_OP_SRC, b.picture, XCB_RENDER_PICTURE_NONE,
                       windowPicture_, 0, 0, 0, 0, static_cast<int16_t>(area_.left),
                       static_cast<int16_t>(area_.top), static_cast<uint16_t>(area_.Width()),
                       static_cast<uint16_t>(area_.Height()));
  if ((whole || captionChanged_) && !captionRuns_.empty()) {
    // Solid pixels, as the client's text painter writes them.
    const uint32_t pixel = depth_ == 32 ? captionPixel_ : captionPixel_ & 0x00FFFFFFu;
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &pixel);
    std::vector<xcb_rectangle_t> rects;
    rects.reserve(captionRuns_.size());
    for (const Rect& r : captionRuns_) {
      rects.push_back(XRect(QRect(r.left, r.top, r.Width(), r.Height())));
    }
    xcb_poly_fill_rectangle(c_, window_, gc_, static_cast<uint32_t>(rects.size()), rects.data());
  }
  captionChanged_ = false;
  // Answered once the server has handled everything above; the answer is
  // looked for only when this picture's memory is to be written again.
  // The one asked for before (by an expose) is not needed any more.
  if (b.pending) xcb_discard_reply(c_, b.sequence);
  b.sequence = xcb_get_input_focus(c_).sequence;
  b.pending = true;
}

void XScaledView::paintEvent(QPaintEvent*) {
  std::lock_guard<std::mutex> hold(lock_);
  if (current_ < 0 || !buffers_[current_].pixmap) return;
  Compose(true);
  xcb_flush(c_);
}

}  // namespace zarvion
