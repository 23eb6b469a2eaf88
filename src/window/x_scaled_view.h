// A native child window whose picture the X server stretches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
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

  // Begin, SetCaption and Show touch only the connection to the X server,
  // so they may be called on any thread, with Lock() held from Begin to
  // Show; an expose takes it too.
  std::mutex& Lock() { return lock_; }

  // Whether the next picture can be written now.
  enum class Ready {
    kYes,
    // Both pictures are still to be read by the server, which is behind:
    // ask again in a moment (nothing waits for it here).
    kBusy,
    // No memory for it, or the connection to the server is gone.
    kNo,
  };
  // Memory for the next picture (width x height, 32-bit, rows packed);
  // valid until Show. Two pictures are used in turn, so the next one is
  // written while the server may still read the one shown; only when it is
  // behind by both is the answer kBusy. Memory or a pixmap for a new size
  // is made only when `mayMake` (it takes a round-trip to the server);
  // otherwise that too is kBusy.
  Ready Begin(int width, int height, PixelView* picture, bool mayMake = true);
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
  // One picture: memory shared with the server, the server's pixmap that
  // holds it (made over that memory where the server can, so that nothing
  // is copied) and a render picture of that pixmap.
  struct Buffer {
    uint32_t segment = 0;
    uint8_t* memory = nullptr;
    size_t bytes = 0;
    uint32_t pixmap = 0;
    uint32_t picture = 0;
    int width = 0;
    int height = 0;
    // The server may still read the memory: until the reply to the
    // request `sequence`, sent after everything that reads it.
    bool pending = false;
    unsigned int sequence = 0;
    // The transform last set on `picture`: this part stretched over that.
    Rect source, area;
  };

  explicit XScaledView(QWidget* parent);
  bool Init();
  bool EnsureMemory(Buffer& b, size_t bytes);
  void ReleaseMemory(Buffer& b);
  bool EnsurePixmap(Buffer& b, int width, int height);
  void ReleasePixmap(Buffer& b);
  // Whether the server is done reading `b`; never waits.
  bool Read(Buffer& b);
  // Sends the composition of the shown picture: the scaled picture around
  // the caption's pixels, then those pixels when they changed or `whole`.
  void Compose(bool whole);

  std::mutex lock_;
  xcb_connection_t* c_ = nullptr;
  uint32_t window_ = 0;
  uint8_t depth_ = 0;
  uint32_t format_ = 0;  // of the window's visual
  uint32_t gc_ = 0;
  uint32_t windowPicture_ = 0;
  // The server makes pixmaps over shared memory (else the picture is put
  // into a pixmap of its own).
  bool sharedPixmaps_ = false;
  Buffer buffers_[2];
  int next_ = 0;     // the buffer Begin hands out
  int current_ = -1; // the buffer on the screen, -1: none yet
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
