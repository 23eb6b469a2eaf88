// A native child window whose picture the X server stretches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <QWidget>

#include "platform/surface.h"

struct xcb_connection_t;

namespace zarvion {

// The client hands over the small picture and the few pixels of its
// caption; the X server scales the picture onto the screen (nearest
// neighbour, sampled at pixel centres as StretchPixels samples). Used for
// the single view: stretched by the client, a full-screen picture is
// written whole into the window's image, which the server then copies
// whole again; here the server writes it once and the client only the
// picture itself.
class XScaledView : public QWidget {
 public:
  // A hidden view over `parent`; null where the display is not an X server
  // with the render and shared memory extensions (or the memory cannot be
  // shared, as with a remote display), or ZARVION_X_SCALING=0 asks for
  // the client's own stretch.
  static XScaledView* Create(QWidget* parent);
  ~XScaledView() override;

  // Memory for the next picture (width x height, 32-bit, rows packed);
  // valid until Show. Waits until the server has read what the last Show
  // handed over. False when there is no memory for it.
  bool Begin(int width, int height, PixelView* picture);
  // The caption over the picture: its pixels as runs (rectangles one row
  // high, in this widget's coordinates, row by row from the top and each
  // row's from the left, inside the area), all of `pixel`. The picture is
  // never composed over them, so they are sent only when the caption
  // changes (at the next Show) and on an expose; empty: no caption.
  void SetCaption(std::vector<Rect> runs, uint32_t pixel);
  // Shows `source` of the picture stretched over `area`, in this widget's
  // coordinates, with the caption over it. The server keeps the picture: an
  // expose is answered without the client.
  void Show(const Rect& source, const Rect& area);

 protected:
  QPaintEngine* paintEngine() const override { return nullptr; }
  void paintEvent(QPaintEvent* event) override;

 private:
  explicit XScaledView(QWidget* parent);
  bool Init();
  bool EnsureMemory(size_t bytes);
  void ReleaseMemory();
  bool EnsurePixmap(int width, int height);
  // Sends the composition of the last Show: the scaled picture around the
  // caption's pixels, then those pixels when they changed or `whole`.
  void Compose(bool whole);
  // Waits for the server to have handled every request sent so far.
  void Sync();

  xcb_connection_t* c_ = nullptr;
  uint32_t window_ = 0;
  uint8_t depth_ = 0;
  uint32_t format_ = 0;  // of the window's visual
  uint32_t gc_ = 0;
  uint32_t windowPicture_ = 0;
  uint32_t pixmap_ = 0;
  uint32_t pixmapPicture_ = 0;
  int pixmapWidth_ = 0;
  int pixmapHeight_ = 0;
  // Shared memory: the picture.
  uint32_t segment_ = 0;
  uint8_t* memory_ = nullptr;
  size_t memoryBytes_ = 0;
  bool pending_ = false;
  unsigned int pendingSequence_ = 0;
  bool shown_ = false;
  Rect source_, area_;
  // The caption's pixels and colour; the picture's clip (the area without
  // them) is set again when they or the area change, and they are drawn
  // again when they change.
  std::vector<Rect> captionRuns_;
  uint32_t captionPixel_ = 0;
  bool captionChanged_ = false;
  Rect clipArea_;
  bool clipValid_ = false;
};

}  // namespace zarvion
