#include "video/renderer.h"

#include <algorithm>
#include <cstring>

#include "video/captions.h"
#include "video/file_names.h"

namespace zarvion {

Rect PaneRect(int side, int row, int col, int W, int H) {
  const int wg = W - 2 * side;
  const int hg = H - 2 * side;
  return Rect{wg * col / side + 2 * col, hg * row / side + 2 * row,
              wg * (col + 1) / side + 2 * col + 2, hg * (row + 1) / side + 2 * row + 2};
}

bool Renderer::Create(int cxScreen, int cyScreen) {
  std::lock_guard<std::mutex> lock(lock_);
  if (backBuffer_.pSurface) return true;
  if (!backBuffer_.Create(cxScreen, cyScreen)) return false;
  ClearViewLocked();
  return true;
}

void Renderer::BindDecoder(int slot, CChannelDecoder* decoder) {
  if (slot < 0 || slot >= kDecoderSlots) return;
  std::lock_guard<std::mutex> lock(lock_);
  apDecoder_[static_cast<size_t>(slot)] = decoder;
  if (!decoder) return;
  decoder->pSurfaceLock = &lock_;
  // Nothing is read before the first composition, which sets what is
  // converted at once.
  decoder->bConvertOnRead.store(true, std::memory_order_relaxed);
}

void Renderer::SetPresenter(Presenter* presenter) {
  std::lock_guard<std::mutex> lock(lock_);
  presenter_ = presenter;
}

CChannelDecoder* Renderer::Decoder(int slot) const {
  if (slot < 0 || slot >= kDecoderSlots) return nullptr;
  CChannelDecoder* d = apDecoder_[static_cast<size_t>(slot)];
  return d && d->pSurface ? d : nullptr;
}

Rect Renderer::VideoArea(const Rect& window) const {
  return Rect{0, 0, window.right - window.left, window.bottom - kToolbarStrip - window.top};
}

bool Renderer::Seen() {
  if (!presenter_->CanDraw()) {
    if (!unseen_) {
      unseen_ = true;
      // Nobody reads a picture now: frames are decoded (motion, alarms and
      // recordings need them) but none is converted until looked at.
      for (int s = 0; s < kDecoderSlots; ++s) {
        if (CChannelDecoder* d = Decoder(s)) d->bConvertOnRead.store(true, std::memory_order_relaxed);
      }
    }
    return false;
  }
  if (unseen_) {
    Surface& back = *backBuffer_.pSurface;
    if (!back.Valid()) {
      if (!back.Create(back.Width(), back.Height())) return false;
      ClearViewLocked();
    }
    unseen_ = false;
    // A new look: the next composition sets what is converted when, and
    // places every pane with its channel's latest picture.
    lastMode_ = kNoMode;
    placeAll_ = true;
  }
  return true;
}

bool Renderer::ReleaseSurfaces() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!presenter_ || !backBuffer_.pSurface || Seen()) return false;
  DropGridPictures(false);
  for (PanePicture& p : panes_) p.picture.Reset();
  backBuffer_.pSurface->Release();
  scratch_.Release();
  staleCount_ = 0;
  staleCopy_ = nullptr;
  changeCount_ = 0;
  changesPending_ = false;
  for (int s = 0; s < kDecoderSlots; ++s) {
    if (CChannelDecoder* d = Decoder(s)) d->ReleaseSurface();
  }
  return true;
}

void Renderer::Redraw() {
  std::lock_guard<std::mutex> lock(lock_);
  if (!presenter_ || !backBuffer_.pSurface) return;
  if (!Seen()) {
    // Nothing is drawn while the window cannot be seen, but a snapshot
    // asked for is still taken.
    const View v = ClassifyDrawMode(words_.dwDrawMode.load());
    if (v.kind == ViewKind::kSingle && words_.bSnapshot.exchange(0)) TakeSnapshot(v.slot);
    return;
  }
  const bool dirty = words_.bLayoutDirty.exchange(0) != 0;
  // New names for the cameras: every caption is drawn again.
  const bool renamed = cameraNames_ && cameraNames_(&namesSerial_, &names_);
  if (renamed) fitted_ = {};
  if (dirty || renamed) ClearViewLocked();
  ComposeAndPresent();
}

void Renderer::ClearView() {
  std::lock_guard<std::mutex> lock(lock_);
  ClearViewLocked();
}

void Renderer::ClearViewLocked() {
  DropGridPictures(false);
  backBuffer_.Fill(kPixelBlue200);
  staleCount_ = 0;
  ChangedAll();
  // Everything the compositions drew is gone.
  lastMode_ = kNoMode;
  singleValid_ = false;
}

void Renderer::Changed(const Rect& r) {
  changesPending_ = true;
  if (changeCount_ < kMaxChanges) {
    changes_[static_cast<size_t>(changeCount_++)] = r;
    return;
  }
  // Out of room: one rectangle around them all.
  Rect& all = changes_[0];
  for (int i = 1; i < changeCount_; ++i) {
    const Rect& c = changes_[static_cast<size_t>(i)];
    all = Rect{std::min(all.left, c.left), std::min(all.top, c.top), std::max(all.right, c.right),
               std::max(all.bottom, c.bottom)};
  }
  all = Rect{std::min(all.left, r.left), std::min(all.top, r.top), std::max(all.right, r.right),
             std::max(all.bottom, r.bottom)};
  changeCount_ = 1;
}

namespace {

bool Overlap(const Rect& a, const Rect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}
bool Inside(const Rect& a, const Rect& outer) {
  return a.left >= outer.left && a.top >= outer.top && a.right <= outer.right &&
         a.bottom <= outer.bottom;
}

}  // namespace

void Renderer::Touch(const Rect& r, bool whole) {
  for (int i = 0; i < staleCount_;) {
    const Rect s = stale_[static_cast<size_t>(i)];
    if (!Overlap(s, r)) {
      ++i;
      continue;
    }
    stale_[static_cast<size_t>(i)] = stale_[static_cast<size_t>(--staleCount_)];
    if (!(whole && Inside(s, r))) Restore(s);
  }
}

void Renderer::Restore(const Rect& r) {
  Surface& back = *backBuffer_.pSurface;
  const Surface* copy = staleCopy_;
  if (!copy || !copy->Valid() || copy->Width() != back.Width() || copy->Height() != back.Height()) {
    return;
  }
  for (int y = r.top; y < r.bottom; ++y) {
    const size_t at = static_cast<size_t>(y) * back.Stride() + static_cast<size_t>(r.left) * 4;
    std::memcpy(back.Lock() + at, copy->Lock() + at, static_cast<size_t>(r.Width()) * 4);
  }
}

void Renderer::ChangedAll() {
  if (!backBuffer_.pSurface) return;
  changes_[0] = backBuffer_.pSurface->Bounds();
  changeCount_ = 1;
  changesPending_ = true;
}

int Renderer::TakeChanges(std::array<Rect, kMaxChanges>& out, Surface* copy, bool* swapped) {
  if (swapped) *swapped = false;
  bool swapNow = false;
  // The copy differs from the back surface only inside the changes. With
  // no older pictures left here from an earlier trade, the two may trade
  // pixels: the copy is then current, and the changes are what this
  // surface holds older pictures in.
  if (copy && staleCount_ == 0 && changeCount_ > 0 && backBuffer_.pSurface &&
      backBuffer_.pSurface->SwapPixels(*copy)) {
    staleCopy_ = copy;
    if (swapped) *swapped = true;
    swapNow = true;
  }
  int n = 0;
  if (backBuffer_.pSurface) {
    const Rect bounds = backBuffer_.pSurface->Bounds();
    for (int i = 0; i < changeCount_; ++i) {
      const Rect& c = changes_[static_cast<size_t>(i)];
      const Rect r{std::max(c.left, 0), std::max(c.top, 0), std::min(c.right, bounds.right),
                   std::min(c.bottom, bounds.bottom)};
      if (r.Empty()) continue;
      out[static_cast<size_t>(n++)] = r;
      if (swapNow) stale_[static_cast<size_t>(staleCount_++)] = r;
    }
  }
  changeCount_ = 0;
  return n;
}

void Renderer::DropGridPictures(bool fill) {
  for (int s = 0; s < kDecoderSlots; ++s) {
    const uint32_t bit = 1u << s;
    if (!(paneHeld_ & bit)) continue;
    PanePicture& p = panes_[static_cast<size_t>(s)];
    p.picture.Reset();
    if (fill && backBuffer_.pSurface) {
      Touch(p.pane, true);
      backBuffer_.pSurface->Fill(p.pane, kPixelBlue200);
      Changed(p.pane);
    }
    paneState_[static_cast<size_t>(s)] = -1;
  }
  paneFresh_ |= paneHeld_;
  paneHeld_ = 0;
  pictureFresh_ = 0;
}

void Renderer::PlaceChannel(int slot) {
  std::lock_guard<std::mutex> lock(lock_);
  // Out of sight a picture is only noted as pending in its decoder; the
  // composition that shows the window again places it.
  if (!presenter_ || !backBuffer_.pSurface || !Seen()) return;
  PlaceLocked(slot, ClassifyDrawMode(words_.dwDrawMode.load()),
              VideoArea(presenter_->WindowRect()));
}

void Renderer::PlaceLocked(int slot, const View& v, const Rect& view) {
  if (v.kind != ViewKind::kGrid || slot < 0 || slot >= v.side * v.side) return;
  CChannelDecoder* d = Decoder(slot);
  if (!d) return;
  const Rect pane = PaneRect(v.side, slot / v.side, slot % v.side, view.right, view.bottom);
  const uint32_t bit = 1u << slot;
  if (presenter_->DrawsGridPictures()) {
    // A picture not yet converted goes to the window as it is; the window
    // converts and stretches it straight onto the screen.
    PanePicture& p = panes_[static_cast<size_t>(slot)];
    const Rect source = d->rcSurface;
    if (d->SharePicture(&p.picture) && !source.Empty() && source.left >= 0 && source.top >= 0 &&
        source.right <= p.picture.Width() && source.bottom <= p.picture.Height()) {
      // A pane new to the window goes to it once its look is set too.
      int& state = paneState_[static_cast<size_t>(slot)];
      if (!(paneHeld_ & bit) || !(p.pane == pane)) state = -1;
      if (state >= 0) paneFresh_ |= bit;
      p.pane = pane;
      p.source = source;
      // The window draws this pane from the picture: the channel's own
      // pixels (its "no signal" look until now) are not read meanwhile.
      d->ReleaseSurface();
      paneHeld_ |= bit;
      pictureFresh_ |= bit;
      changesPending_ = true;
      return;
    }
    p.picture.Reset();
    if (paneHeld_ & bit) {
      // Back to the back surface, which has had no picture there meanwhile.
      paneHeld_ &= ~bit;
      paneFresh_ |= bit;
      pictureFresh_ &= ~bit;
      paneState_[static_cast<size_t>(slot)] = -1;
      Touch(pane, true);
      backBuffer_.pSurface->Fill(pane, kPixelBlue200);
      Changed(pane);
    }
  }
  const Surface* picture = d->Picture(scratch_);
  Touch(pane, picture->Valid() && !d->rcSurface.Empty());
  // The pane is read again only by the next present, after a round of
  // other channels: it goes past the caches that the decoders work in.
  // A notice's thin strokes would be lost where a smaller pane drops rows
  // or columns of it ("无" read as "尢"); a picture is sampled plainly.
  Surface& back = *backBuffer_.pSurface;
  const bool drawn = d->ShowsNotice()
                         ? StretchKeeping(back.View(), pane, back.Bounds(), picture->View(),
                                          d->rcSurface, PixelOfColorref(kNoticeColor))
                         : back.StretchFrom(pane, *picture, d->rcSurface, true);
  if (drawn) {
    Changed(pane);
    placed_ |= bit;
  }
}

void Renderer::ComposeAndPresent() {
  if (!presenter_ || !backBuffer_.pSurface) return;
  const Rect window = presenter_->WindowRect();
  const Point cursor = presenter_->CursorPos();
  const Rect view = VideoArea(window);
  // A window shorter than the toolbar strip has no video area.
  if (view.Empty()) return;
  const Point local{cursor.x - window.left, cursor.y - window.top};

  const uint32_t mode = words_.dwDrawMode.load();
  const View v = ClassifyDrawMode(mode);
  if (mode != lastMode_ || !(view == lastView_)) {
    // A new view or size: every pane's border and caption are drawn again,
    // and (unless the layout was cleared, which starts from blue) each pane
    // shows its channel's latest picture or notice at once rather than at
    // its next frame, so a channel that stopped sending keeps its look.
    if (lastMode_ != kNoMode) placeAll_ = true;
    DropGridPictures(true);
    paneState_.fill(-1);
    singleValid_ = false;
    lastMode_ = mode;
    lastView_ = view;
    // Pictures are converted when read (a grid's panes by the window or
    // through the scratch picture, channels not shown not at all), except
    // the single view's when it is stretched here.
    for (int s = 0; s < kDecoderSlots; ++s) {
      CChannelDecoder* d = Decoder(s);
      if (!d) continue;
      const bool onRead =
          !(v.kind == ViewKind::kSingle && s == v.slot) || presenter_->DrawsSingleView();
      d->bConvertOnRead.store(onRead, std::memory_order_relaxed);
    }
  }
  if (placeAll_) {
    // Back in sight: every pane gets its channel's latest picture at once.
    placeAll_ = false;
    if (v.kind == ViewKind::kGrid) {
      for (int s = 0; s < v.side * v.side; ++s) PlaceLocked(s, v, view);
    }
  }
  if (v.kind == ViewKind::kSingle) {
    ComposeSingle(v.slot, view);
  } else if (v.kind == ViewKind::kGrid) {
    ComposeGrid(v.side, view, local);
  }
  // Nothing new on the back surface: the screen already shows it.
  if (!changesPending_) return;
  changesPending_ = false;

  // Only the part of the view that the back surface has can be shown.
  const Surface& back = *backBuffer_.pSurface;
  const Rect source{0, 0, std::min(view.right, back.Width()), std::min(view.bottom, back.Height())};
  const Rect target{window.left, window.top, window.left + source.right,
                    window.top + source.bottom};
  presenter_->Present(target, source);
}

bool Renderer::ComposeSingle(int slot, const Rect& view) {
  if (words_.bSnapshot.exchange(0)) TakeSnapshot(slot);
  CChannelDecoder* d = Decoder(slot);
  if (!d) return false;
  // A window that draws the view converts the picture itself.
  if (!presenter_->DrawsSingleView()) d->CatchUp();
  const int32_t fps = d->nFps.load();
  const uint32_t bps = d->nBps.load();
  const bool ended =
      words_.dwDrawMode.load() == kDrawPlayback && playbackEnded_ && playbackEnded_();
  // Frames of the other channels still arriving change nothing here.
  if (singleValid_ && singleSerial_ == d->dwPictureSerial && singleFps_ == fps &&
      singleBps_ == bps && singleEnded_ == ended) {
    return false;
  }
  // The caption is made again only when what it says may have changed.
  if (!singleValid_ || singleFps_ != fps || singleBps_ != bps || singleEnded_ != ended) {
    singleCaption_ = SingleCaption(slot, ended, fps, bps, view);
  }
  if (presenter_->DrawsSingleView()) {
    // The window takes the picture (TakeSingle) and stretches it itself.
    changesPending_ = true;
  } else {
    Touch(view, d->pSurface->Valid() && !d->rcSurface.Empty());
    backBuffer_.pSurface->StretchFrom(view, *d->pSurface, d->rcSurface);
    backBuffer_.DrawTextAt(hFontSmall_, singleCaption_.c_str(), 4, 4, kCaptionSingleColor);
    Changed(view);
  }
  singleValid_ = true;
  singleSerial_ = d->dwPictureSerial;
  singleFps_ = fps;
  singleBps_ = bps;
  singleEnded_ = ended;
  return true;
}

bool Renderer::ComposeGrid(int side, const Rect& view, Point cursor) {
  bool drawn = false;
  for (int r = 0; r < side; ++r) {
    for (int col = 0; col < side; ++col) {
      const int s = r * side + col;
      const Rect pane = PaneRect(side, r, col, view.right, view.bottom);
      const CChannelDecoder* d = Decoder(s);
      const bool signal = d && d->bSignal;
      const bool under = pane.left < cursor.x && cursor.x < pane.right && pane.top < cursor.y &&
                         cursor.y < pane.bottom;
      const int state = (signal ? 1 : 0) | (under ? 2 : 0);
      const uint32_t bit = 1u << s;
      if (paneHeld_ & bit) {
        // The window draws this pane: only its look is kept here.
        if (paneState_[static_cast<size_t>(s)] != state) {
          paneState_[static_cast<size_t>(s)] = state;
          PanePicture& p = panes_[static_cast<size_t>(s)];
          p.pane = pane;
          p.border = under ? kBorderPointer : kBorderPane;
          p.captionColor = under ? kCaptionPointerColor : kCaptionPaneColor;
          p.caption = PaneCaption(s, signal, pane);
          paneFresh_ |= bit;
          changesPending_ = true;
          drawn = true;
        }
        placed_ &= ~bit;
        continue;
      }
      // A pane keeps its border and caption until its picture is placed
      // again or what they show changes.
      if (!(placed_ & bit) && paneState_[static_cast<size_t>(s)] == state) continue;
      if (paneState_[static_cast<size_t>(s)] != state) Changed(pane);
      placed_ &= ~bit;
      paneState_[static_cast<size_t>(s)] = state;
      Touch(pane, false);
      const std::string caption = PaneCaption(s, signal, pane);
      backBuffer_.DrawBorder(pane.left, pane.top, pane.right, pane.bottom,
                             under ? kBorderPointer : kBorderPane);
      backBuffer_.DrawTextAt(hFontSmall_, caption.c_str(), pane.left + 4, pane.top + 4,
                             under ? kCaptionPointerColor : kCaptionPaneColor);
      drawn = true;
    }
  }
  return drawn;
}

bool Renderer::TakeSingle(Surface& picture, Rect* source, std::string* caption,
                          SharedPicture* shared) {
  const View v = ClassifyDrawMode(lastMode_);
  if (!presenter_ || !presenter_->DrawsSingleView() || v.kind != ViewKind::kSingle ||
      !singleValid_) {
    return false;
  }
  CChannelDecoder* d = Decoder(v.slot);
  if (!d) return false;
  *caption = singleCaption_;
  *source = d->rcSurface;
  if (shared && d->SharePicture(shared)) return true;
  d->CatchUp();
  const Surface& from = *d->pSurface;
  if (!from.Valid()) return false;
  if (!picture.Valid() || picture.Width() != from.Width() || picture.Height() != from.Height()) {
    if (!picture.Create(from.Width(), from.Height())) return false;
  }
  std::memcpy(picture.Lock(), from.Lock(), static_cast<size_t>(from.Stride()) * from.Height());
  return true;
}

uint32_t Renderer::TakeGridPictures(std::array<PanePicture, kDecoderSlots>& panes) {
  const uint32_t fresh = paneFresh_;
  for (int s = 0; s < kDecoderSlots; ++s) {
    const uint32_t bit = 1u << s;
    if (!(fresh & bit)) continue;
    PanePicture& mine = panes_[static_cast<size_t>(s)];
    PanePicture& theirs = panes[static_cast<size_t>(s)];
    if (!(paneHeld_ & bit)) {
      theirs.picture.Reset();
      continue;
    }
    if (pictureFresh_ & bit) {
      // Theirs comes back here and is let go; the next picture replaces it.
      std::swap(mine.picture, theirs.picture);
      mine.picture.Reset();
    }
    theirs.pane = mine.pane;
    theirs.source = mine.source;
    theirs.border = mine.border;
    theirs.captionColor = mine.captionColor;
    theirs.caption = mine.caption;
  }
  paneFresh_ = 0;
  // A pane whose look is not set yet keeps its new picture for the next take.
  pictureFresh_ &= ~fresh;
  return fresh;
}

// Captions start 4 pixels into their pane or view, and a name stops as far
// before its right edge.
constexpr int kCaptionInset = 4;

std::string Renderer::PaneCaption(int slot, bool signal, const Rect& pane) {
  const std::string& name = names_[static_cast<size_t>(slot)];
  if (name.empty()) return FormatPaneCaption(slot + 1, signal);
  const std::string rest = signal ? std::string() : ' ' + NoSignalWord();
  return FormatPaneCaption(slot + 1, signal,
                           FittedName(slot, rest, pane.Width() - 2 * kCaptionInset));
}

std::string Renderer::SingleCaption(int slot, bool ended, int32_t fps, uint32_t bps,
                                    const Rect& view) {
  const std::string& name = names_[static_cast<size_t>(slot)];
  if (name.empty()) {
    return ended ? FormatPlaybackEndCaption(slot + 1) : FormatSingleCaption(slot + 1, fps, bps);
  }
  const std::string rest = ended ? ' ' + PlaybackEndWord() : std::string(kWidestRates);
  const std::string& fitted = FittedName(slot, rest, view.Width() - 2 * kCaptionInset);
  return ended ? FormatPlaybackEndCaption(slot + 1, fitted)
               : FormatSingleCaption(slot + 1, fps, bps, fitted);
}

const std::string& Renderer::FittedName(int slot, const std::string& rest, int room) {
  Fitted& f = fitted_[static_cast<size_t>(slot)];
  if (f.room != room || f.rest != rest) {
    f.text = FitCameraName(hFontSmall_, names_[static_cast<size_t>(slot)], rest, room);
    f.room = room;
    f.rest = rest;
  }
  return f.text;
}

void Renderer::TakeSnapshot(int slot) {
  CChannelDecoder* d = Decoder(slot);
  if (!d || !snapshotFolder_) return;
  d->CatchUp();
  // The slot is 0..15 here, so slot + 1 is the product's (mode & 0xF) + 1.
  const std::string path = SnapshotFileName(snapshotFolder_(), slot + 1, GetLocalTime());
  int error = 0;
  const bool saved = d->SaveBitmap(path, &error);
  if (snapshotReport_) snapshotReport_(path, saved, error);
}

}  // namespace zarvion
