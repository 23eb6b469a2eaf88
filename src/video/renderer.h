// The renderer: places channel pictures into their grid panes of a
// screen-sized back surface, composes borders, captions or the single view
// on it, and presents its top-left W x H to the window's video area.
//
// It runs on the connection thread (after every frame, every quiet 100 ms)
// and on the window's thread (paint, size, double-click). One lock, Lock(),
// serialises Redraw, PlaceChannel, ClearView and every write to a decoder's
// surface. Every write to the back surface is recorded as a changed
// rectangle; the window takes them under the lock (TakeChanges), copies
// just those into a picture of its own and paints from that without the
// lock. Work per frame stays with what the frame changed: its pane, its
// border and caption. Nothing here calls a widget: the window is reached
// only through Presenter.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "platform/surface.h"
#include "video/channel_decoder.h"
#include "video/video_surface.h"
#include "view/draw_mode.h"

namespace zarvion {

// Changed rectangles kept between two takes; more collapse into one.
inline constexpr int kMaxChanges = 24;
inline constexpr int kToolbarStrip = 20;  // bottom of the window not used for video
inline constexpr uint32_t kBorderPointer = 0x00FFFF00;
inline constexpr uint32_t kBorderPane = 0x00000000;

// The window's side of presenting. Every member may be called on either
// thread, with the renderer lock held, so none may block on the GUI thread.
class Presenter {
 public:
  virtual ~Presenter() = default;
  // The control window in screen coordinates.
  virtual Rect WindowRect() const = 0;
  // The pointer in screen coordinates.
  virtual Point CursorPos() const = 0;
  // False while the display cannot be drawn on; nothing is composed then.
  virtual bool CanDraw() const { return true; }
  // `source` of the back surface is what the video area shows now, at
  // `target` (screen coordinates, same size). Request a repaint only.
  virtual void Present(const Rect& target, const Rect& source) = 0;
  // True when the window stretches the single and playback views onto the
  // screen itself, from what Renderer::TakeSingle hands it: the renderer
  // then leaves the back surface alone in those views, which saves writing
  // a whole screen of pixels that the window would only copy again.
  virtual bool DrawsSingleView() const { return false; }
  // True when the window draws the grid panes' pictures too, from what
  // Renderer::TakeGridPictures hands it (pictures still undecoded to pixels,
  // shared with their decoders): a picture then goes from the decoder to
  // the screen in one stretch, not through the back surface and a copy.
  virtual bool DrawsGridPictures() const { return false; }
};

// A grid pane that the window draws (Presenter::DrawsGridPictures): the
// picture, the part of it that fills the pane, and the border and caption
// over it, as the renderer would have drawn them.
struct PanePicture {
  SharedPicture picture;  // empty: the back surface shows this pane
  Rect pane;              // in the video area
  Rect source;
  uint32_t border = 0;        // pixel
  uint32_t captionColor = 0;  // COLORREF
  std::string caption;
};

// Follows frames from arrival to the screen, for measuring the whole
// pipeline. Unset in normal use. Every member may be called on any thread
// and must not block.
class FrameTrace {
 public:
  virtual ~FrameTrace() = default;
  // A frame of `slot` arrived whole and is about to be decoded.
  virtual void Received(int slot, const uint8_t* data, uint32_t size, uint16_t flags) = 0;
  // A composition was presented; it holds every frame received before it.
  virtual void Composed() = 0;
  // The window took the presented compositions for its next paint.
  virtual void Taken() = 0;
  // The window painted what it took last.
  virtual void Shown() = 0;
};

// The view words the renderer reads and clears; the window points them at
// its control object's atomics.
struct ViewWords {
  std::atomic<uint32_t>& dwDrawMode;
  std::atomic<uint32_t>& bLayoutDirty;
  std::atomic<uint32_t>& bSnapshot;
};

// Pane (row, col) of a side x side grid in a W x H video area.
Rect PaneRect(int side, int row, int col, int W, int H);

class Renderer {
 public:
  explicit Renderer(ViewWords words) : words_(words) {}
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // The back surface at screen size, allocated once, then cleared to blue.
  [[nodiscard]] bool Create(int cxScreen, int cyScreen);

  // Bindings, made by the window's set-up before the connection thread
  // starts. BindDecoder also hands the decoder this renderer's lock, so do
  // it before the decoder's Create.
  void BindDecoder(int slot, CChannelDecoder* decoder);
  void SetCaptionFont(const Font* font) { hFontSmall_ = font; }
  void SetSnapshotFolder(FolderSource folder) { snapshotFolder_ = std::move(folder); }
  // Whether a played-back recording has run out (its steps went past its
  // length): the playback view's caption then says so instead of rates.
  using PlaybackEnded = std::function<bool()>;
  void SetPlaybackEnded(PlaybackEnded ended) { playbackEnded_ = std::move(ended); }
  // Told of every snapshot: the file's name, whether it was written, and
  // if not, the errno of the failure (0: there was no picture to save).
  using SnapshotReport = std::function<void(const std::string& path, bool saved, int error)>;
  void SetSnapshotReport(SnapshotReport report) { snapshotReport_ = std::move(report); }
  // The names of the cameras, for the captions in place of "CH k": fills
  // `names` and moves `serial` on when they changed since `serial`, else
  // returns false. Asked at every redraw; a change draws every caption again.
  using CameraNamesSource =
      std::function<bool(uint32_t* serial, std::array<std::string, kDecoderSlots>* names)>;
  void SetCameraNames(CameraNamesSource source) { cameraNames_ = std::move(source); }
  // Null detaches; Redraw does nothing without a presenter.
  void SetPresenter(Presenter* presenter);

  void Redraw();
  void ClearView();
  void PlaceChannel(int slot);
  // Called by Redraw, with the lock held.
  void ComposeAndPresent();

  // The rectangles of the back surface written since the last take, clipped
  // to it, into `out`; their number. Call under Lock(). `copy` is the
  // caller's copy of the back surface as of its last take (same size, the
  // same surface every time); when it may, the renderer trades pixels with
  // it instead of the caller copying the changes, and *swapped says so.
  int TakeChanges(std::array<Rect, kMaxChanges>& out, Surface* copy = nullptr,
                  bool* swapped = nullptr);

  // For a presenter that draws the single view: the shown channel's picture
  // as of now, the part of it that fills the view, and the view's caption.
  // A picture not yet converted is shared into `shared` when given (and
  // `picture` left alone); otherwise `shared` is emptied and the channel's
  // surface copied into `picture` (made at the decoder's size). False
  // (nothing changed) when the last composition was not a single view.
  // Call under Lock().
  bool TakeSingle(Surface& picture, Rect* source, std::string* caption,
                  SharedPicture* shared = nullptr);

  // For a presenter that draws grid pictures: every pane whose picture or
  // look changed since the last take is brought up to date in `panes` (a
  // pane the back surface shows again gets an empty picture); returns their
  // bits (1 << slot). The back surface is not written for a pane while the
  // presenter draws it. Call under Lock().
  uint32_t TakeGridPictures(std::array<PanePicture, kDecoderSlots>& panes);

  // While the window cannot be seen: gives back the back surface's pixels
  // and those of every decoder surface that can be made again, and lets go
  // of the pictures kept for the window. The window must let go of its
  // copy of the back surface too (TakeChanges' `copy` is forgotten here).
  // Everything is made again at the first composition once the window can
  // be seen, with the current pictures. False (nothing released) while the
  // window can be seen.
  bool ReleaseSurfaces();

  std::mutex& Lock() { return lock_; }
  // Read only under Lock().
  const Surface* BackSurface() const { return backBuffer_.pSurface.get(); }
  CVideoSurface& BackBuffer() { return backBuffer_; }

 private:
  Rect VideoArea(const Rect& window) const;
  CChannelDecoder* Decoder(int slot) const;
  void ClearViewLocked();
  // Whether the window can be seen now. Out of sight, no channel's picture
  // is converted; back in sight, the surfaces are made again if they were
  // released and the next composition places every pane afresh. Under the
  // lock, with a presenter.
  bool Seen();
  // PlaceChannel with the lock held, for `v` in the video area `view`.
  void PlaceLocked(int slot, const View& v, const Rect& view);
  // False when nothing was drawn.
  bool ComposeSingle(int slot, const Rect& view);
  bool ComposeGrid(int side, const Rect& view, Point cursor);
  void TakeSnapshot(int slot);
  // A channel's captions: "CH k" as ever, or the camera's name cut to the
  // pane's or view's width.
  std::string PaneCaption(int slot, bool signal, const Rect& pane);
  std::string SingleCaption(int slot, bool ended, int32_t fps, uint32_t bps, const Rect& view);
  // The camera's name cut to `room` pixels with `rest` after it.
  const std::string& FittedName(int slot, const std::string& rest, int room);
  void Changed(const Rect& r);
  void ChangedAll();
  // Before `r` of the back surface is drawn on; `whole`: every pixel of it.
  void Touch(const Rect& r, bool whole);
  void Restore(const Rect& r);
  // The panes the presenter draws go back to the back surface; `fill`
  // paints them blue there (else the caller redraws them).
  void DropGridPictures(bool fill);

  ViewWords words_;
  std::mutex lock_;
  CVideoSurface backBuffer_;
  std::array<CChannelDecoder*, kDecoderSlots> apDecoder_{};
  const Font* hFontSmall_ = nullptr;
  FolderSource snapshotFolder_;
  SnapshotReport snapshotReport_;
  PlaybackEnded playbackEnded_;
  CameraNamesSource cameraNames_;
  uint32_t namesSerial_ = 0;
  std::array<std::string, kDecoderSlots> names_;
  // Each name as last cut, with what it was cut for.
  struct Fitted {
    int room = -1;
    std::string rest;
    std::string text;
  };
  std::array<Fitted, kDecoderSlots> fitted_;
  Presenter* presenter_ = nullptr;

  // Changes since the last take.
  std::array<Rect, kMaxChanges> changes_{};
  int changeCount_ = 0;
  bool changesPending_ = false;  // changes since the last present
  // What the last composition drew, so the next one draws only what
  // differs. Panes: bit 0 signal, bit 1 under the pointer; -1 = redraw.
  // `placed_`: panes that got a picture since their border was drawn.
  // No composition yet, or a cleared layout: the next one draws everything.
  static constexpr uint32_t kNoMode = 0xFFFFFFFFu;
  uint32_t lastMode_ = kNoMode;
  Rect lastView_;
  std::array<int, kDecoderSlots> paneState_{};
  uint32_t placed_ = 0;
  // The single view's last stretch: picture serial and caption figures.
  bool singleValid_ = false;
  // After a trade of pixels the changed rectangles of that take hold older
  // pictures here; the current ones are in `staleCopy_` (the caller's copy,
  // written only under the lock). A rectangle drawn over whole is simply
  // dropped from the list; one drawn over in part is first taken back.
  std::array<Rect, kMaxChanges> stale_{};
  int staleCount_ = 0;
  const Surface* staleCopy_ = nullptr;
  // A grid pane's picture on its way from the decompressor to the pane.
  Surface scratch_;
  // Panes the presenter draws: the latest picture and look of each, the
  // panes it draws, and those changed since its last take.
  std::array<PanePicture, kDecoderSlots> panes_;
  uint32_t paneHeld_ = 0;
  uint32_t paneFresh_ = 0;
  uint32_t pictureFresh_ = 0;
  uint32_t singleSerial_ = 0;
  int32_t singleFps_ = 0;
  uint32_t singleBps_ = 0;
  bool singleEnded_ = false;  // the caption says the playback's end
  std::string singleCaption_;  // as of the last stretch
  // The window could not be seen at the last look (Seen).
  bool unseen_ = false;
  // Every pane of the grid is to be placed again at the next composition.
  bool placeAll_ = false;
};

}  // namespace zarvion
