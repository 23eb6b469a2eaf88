// Run on an X server: shows pictures through XScaledView and compares what
// the screen then holds with the client's own stretch of the same picture
// (StretchPixels) and the caption's pixels over it. Writes "ok" or what differs to
// the file named by its argument; exits 0 only when all is as expected.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWidget>

#include <xcb/xcb.h>

#include "platform/surface.h"
#include "window/x_scaled_view.h"

namespace {

using zarvion::PixelView;
using zarvion::Rect;

std::ostringstream report;

// A picture whose pixels all differ from their neighbours.
std::vector<uint32_t> Pattern(int w, int h, uint32_t seed) {
  std::vector<uint32_t> pixels(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      pixels[static_cast<size_t>(y) * w + x] =
          0xFF000000u | ((x * 37 + seed) & 0xFF) << 16 | ((y * 53 + seed) & 0xFF) << 8 |
          ((x * 11 + y * 29) & 0xFF);
    }
  }
  return pixels;
}

void Settle(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
}

// Shows the picture through the view; the client's own stretch of it with
// the caption over it, as the screen should then hold it. The caption's
// pixels (runs of two in every three, as glyphs would be) fill `band`, in
// `pixel`; it is handed over only when `caption`.
QImage Show(zarvion::XScaledView& view, int pw, int ph, const Rect& source, const Rect& band,
            uint32_t seed, uint32_t pixel = 0xFF10E020u, bool caption = true) {
  const std::vector<uint32_t> pattern = Pattern(pw, ph, seed);
  PixelView picture;
  if (view.Begin(pw, ph, &picture) != zarvion::XScaledView::Ready::kYes) return {};
  for (int y = 0; y < ph; ++y) {
    std::memcpy(picture.pixels + static_cast<size_t>(y) * picture.stride,
                pattern.data() + static_cast<size_t>(y) * pw, static_cast<size_t>(pw) * 4);
  }
  const Rect area{0, 0, view.width(), view.height()};
  QImage expected(area.Width(), area.Height(), QImage::Format_RGB32);
  const PixelView into{expected.bits(), expected.width(), expected.height(),
                       static_cast<int>(expected.bytesPerLine())};
  zarvion::StretchPixels(into, area, area, picture, source, 0xFF000000u);
  std::vector<Rect> runs;
  for (int y = band.top; y < band.bottom; ++y) {
    for (int x = band.left + (y % 3); x < band.right; x += 3) {
      const Rect run{x, y, std::min(x + 2, band.right), y + 1};
      runs.push_back(run);
      for (int px = run.left; px < run.right; ++px) expected.setPixel(px, y, pixel);
    }
  }
  if (caption) view.SetCaption(runs, pixel);
  view.Show(source, area);
  if (!view.isVisible()) view.show();
  Settle(400);
  return expected;
}

// Whether the screen under the view holds `expected`; within `band` and
// `exact` (where an earlier caption was) every pixel.
bool Compare(QWidget& top, const zarvion::XScaledView& view, const QImage& expected,
             const Rect& band, const char* what, const Rect& exact = Rect{}) {
  if (expected.isNull()) {
    report << what << ": no memory for the picture\n";
    return false;
  }
  const QImage shown =
      top.screen()
          ->grabWindow(top.winId(), view.x(), view.y(), expected.width(), expected.height())
          .toImage()
          .convertToFormat(QImage::Format_RGB32);
  if (shown.size() != expected.size()) {
    report << what << ": the screen gave " << shown.width() << "x" << shown.height() << "\n";
    return false;
  }
  // The server steps the scale in 1/65536ths: a column or row within that
  // of a pixel's edge may take the neighbour. Nothing else may differ, and
  // the band not at all.
  long differ = 0, bandDiffer = 0;
  for (int y = 0; y < expected.height(); ++y) {
    for (int x = 0; x < expected.width(); ++x) {
      if ((shown.pixel(x, y) & 0xFFFFFF) == (expected.pixel(x, y) & 0xFFFFFF)) continue;
      ++differ;
      if ((x >= band.left && x < band.right && y >= band.top && y < band.bottom) ||
          (x >= exact.left && x < exact.right && y >= exact.top && y < exact.bottom)) {
        ++bandDiffer;
      }
    }
  }
  const long all = static_cast<long>(expected.width()) * expected.height();
  if (differ * 100 <= all && bandDiffer == 0) return true;
  report << what << ": " << differ << " of " << all << " pixels differ, " << bandDiffer
         << " in the band; top row on screen" << std::hex;
  for (int x = 0; x < 6; ++x) report << " " << shown.pixel(x, 0);
  report << ", expected";
  for (int x = 0; x < 6; ++x) report << " " << expected.pixel(x, 0);
  report << std::dec << "\n";
  return false;
}

// While another client holds the server, the view's requests wait there:
// two pictures go out without waiting, the third is refused at once rather
// than waited for, and once the server is let go the next picture shows.
bool ServerBehind(QWidget& top, zarvion::XScaledView& view) {
  const Rect area{0, 0, view.width(), view.height()};
  const Rect source{0, 0, 64, 48};
  // Both pictures the size used below, so that nothing new is made while
  // the server is held.
  Show(view, 64, 48, source, Rect{}, 11);
  Show(view, 64, 48, source, Rect{}, 12);
  xcb_connection_t* other = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(other)) {
    report << "server held: no second connection\n";
    xcb_disconnect(other);
    return false;
  }
  xcb_grab_server(other);
  // Answered only once the grab holds.
  std::free(xcb_get_input_focus_reply(other, xcb_get_input_focus(other), nullptr));
  QElapsedTimer t;
  t.start();
  int shown = 0;
  zarvion::XScaledView::Ready ready = zarvion::XScaledView::Ready::kYes;
  PixelView picture;
  for (uint32_t seed = 20; seed < 24; ++seed) {
    ready = view.Begin(64, 48, &picture);
    if (ready != zarvion::XScaledView::Ready::kYes) break;
    const std::vector<uint32_t> pattern = Pattern(64, 48, seed);
    std::memcpy(picture.pixels, pattern.data(), pattern.size() * 4);
    view.Show(source, area);
    ++shown;
  }
  const qint64 held = t.elapsed();
  xcb_ungrab_server(other);
  xcb_flush(other);
  bool ok = true;
  if (shown != 2 || ready != zarvion::XScaledView::Ready::kBusy || held > 500) {
    report << "server held: " << shown << " pictures went, then " << static_cast<int>(ready)
           << " after " << held << " ms\n";
    ok = false;
  }
  // The server catches up; the latest picture is the one on the screen.
  t.restart();
  while (view.Begin(64, 48, &picture) == zarvion::XScaledView::Ready::kBusy && t.elapsed() < 3000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  ok &= Compare(top, view, Show(view, 64, 48, source, Rect{}, 30), Rect{},
                "after the server was held");
  xcb_disconnect(other);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QApplication app(argc, argv);
  bool ok = false;
  {
    QWidget top;
    top.resize(660, 420);
    top.show();
    Settle(300);
    zarvion::XScaledView* view = zarvion::XScaledView::Create(&top);
    if (!view) {
      report << "no view on this display\n";
    } else {
      view->setGeometry(0, 0, 640, 400);
      const Rect caption{4, 4, 120, 20};
      ok = Compare(top, *view, Show(*view, 352, 288, Rect{0, 0, 352, 288}, caption, 1), caption,
                   "whole picture");
      // Another size, part of the picture, the band elsewhere.
      const Rect low{30, 300, 90, 312};
      const QImage part = Show(*view, 176, 144, Rect{8, 4, 168, 140}, low, 7);
      // The first caption's pixels are the picture's again, to the pixel but
      // for the picture's own edge columns.
      ok &= Compare(top, *view, part, low, "part of a smaller picture", Rect{8, 8, 116, 16});
      // Covered and uncovered (hidden, shown), the server draws again what
      // it keeps, without the client.
      view->hide();
      Settle(100);
      view->show();
      Settle(400);
      ok &= Compare(top, *view, part, low, "shown again");
      // A new picture under the same caption, which is not handed over again.
      ok &= Compare(top, *view, Show(*view, 176, 144, Rect{8, 4, 168, 140}, low, 9, 0xFF10E020u, false),
                    low, "the same caption over a new picture");
      // No caption.
      ok &= Compare(top, *view, Show(*view, 64, 48, Rect{0, 0, 64, 48}, Rect{}, 3), Rect{},
                    "without a caption");
      ok &= ServerBehind(top, *view);
    }
  }
  if (ok) report << "ok\n";
  std::ofstream(argv[1]) << report.str();
  return ok ? 0 : 1;
}
