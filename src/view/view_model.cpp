#include "view/view_model.h"

namespace zarvion {
namespace {

ViewStep Unchanged(const ViewState& s) {
  ViewStep step;
  step.before = s;
  step.after = s;
  return step;
}

// Shows `next`. A snapshot asked for in the view being left is not taken
// later, in whatever view comes next.
ViewStep Show(const ViewState& s, uint32_t next) {
  ViewStep step = Unchanged(s);
  step.after.shown = next;
  if (next != s.shown) step.after.snapshot = false;
  return step;
}

// Only a grid is a view to return to: saving a single or playback view would
// leave the double-click no way back to a grid.
uint32_t SavedOnLeaving(const ViewState& s) {
  return IsGridView(s.shown) ? s.shown : s.saved;
}

bool HasSignal(uint16_t sending, uint32_t slot) {
  return slot < 16 && (sending >> slot & 1u) != 0;
}

int GridPanes(uint32_t grid) {
  return static_cast<int>(grid >> 16);
}

}  // namespace

uint32_t FittedView(uint32_t channels) {
  if (channels == 1) return 0;  // channel 1 alone
  if (channels >= 2 && channels <= 4) return kDrawGrid4;
  if (channels >= 5 && channels <= 9) return kDrawGrid9;
  return kDrawGrid16;
}

ViewStep InitialView(const ViewState& s, uint32_t storedLayout, bool chosen) {
  // A stored word that is none of the grids would select nothing (or a
  // decoder that does not exist); it shows 4 x 4.
  ViewStep step = Unchanged(s);
  step.after.shown = step.after.saved = ValidGridOr16(storedLayout);
  step.after.fitToChannels = !chosen;
  return step;
}

ViewStep DoubleClick(const ViewState& s, int pane, uint16_t sending) {
  const uint32_t m = s.shown;
  uint32_t t = m;
  if (IsChannelView(m)) {
    t = s.saved;
  } else if (IsGridView(m)) {
    if (pane >= 0 && pane < GridPanes(m) && HasSignal(sending, static_cast<uint32_t>(pane))) {
      t = static_cast<uint32_t>(pane);
    }
  }
  // The playback view, and any word that is neither a channel nor a grid,
  // stays as it is.
  ViewStep step = Show(s, t);
  if (IsChannelView(t)) {
    // Only a channel that sends is asked for alone.
    step.sendMask = true;
    step.mask = HasSignal(sending, t) ? static_cast<uint16_t>(1u << t) : 0;
    // Entering a channel's view leaves the layout as it was: the renderer
    // draws a new view whole anyway.
    step.layoutDirty = t != m && !HasSignal(sending, t);
  } else if (t == kDrawPlayback) {
    step.sendMask = true;
    step.mask = 0;
  } else if (IsGridView(t)) {
    step.sendMask = true;
    step.mask = GridMask(static_cast<uint32_t>(GridPanes(t)));
    step.layoutDirty = t != m;
    if (t != m) step.keyFramePanes = GridPanes(t);
  }
  return step;
}

ViewStep GridChosen(const ViewState& s, uint32_t layout) {
  // Only the three grids are layouts; anything else would index nothing or a
  // decoder beyond the 16.
  const uint32_t grid = ValidGridOr16(layout);
  ViewStep step = Show(s, grid);
  step.after.saved = grid;
  step.after.fitToChannels = false;  // the user's layout, not the recorder's
  step.layoutDirty = true;
  step.sendMask = true;
  step.mask = GridMask(static_cast<uint32_t>(GridPanes(grid)));
  return step;
}

ViewStep ServerSelectView(const ViewState& s, bool single, uint32_t channel) {
  if (single) {
    // Channel 0 or above 16 names no decoder: the view stays as it is.
    if (channel < 1 || channel > static_cast<uint32_t>(kDecoderSlots)) {
      ViewStep step = Unchanged(s);
      step.applies = false;
      return step;
    }
    ViewStep step = Show(s, channel - 1);
    step.after.saved = SavedOnLeaving(s);
    step.layoutDirty = true;
    return step;
  }
  const uint32_t grid = channel << 16;
  ViewStep step = Show(s, grid);
  step.after.saved = grid;
  step.layoutDirty = true;
  return step;
}

bool MayFitView(const ViewState& s) {
  return s.fitToChannels && s.shown == kDefaultDrawMode;
}

ViewStep FitToChannels(const ViewState& s, uint32_t channels) {
  const uint32_t fitted = FittedView(channels);
  if (!MayFitView(s) || !IsGridView(fitted) || fitted == kDefaultDrawMode) {
    ViewStep step = Unchanged(s);
    step.applies = false;
    return step;
  }
  // Nothing is sent: the grid covers every channel the recorder has, so the
  // channel mask stays as the recorder started it.
  ViewStep step = Show(s, fitted);
  step.after.saved = fitted;
  step.layoutDirty = true;
  return step;
}

ViewStep FitToFirstPicture(const ViewState& s) {
  // Not if the user has chosen a view meanwhile.
  if (!MayFitView(s)) {
    ViewStep step = Unchanged(s);
    step.applies = false;
    return step;
  }
  ViewStep step = Show(s, 0);
  step.after.saved = kDrawGrid4;
  step.layoutDirty = true;
  return step;
}

ViewStep PlaybackStarted(const ViewState& s) {
  ViewStep step = Show(s, kDrawPlayback);
  step.sendMask = true;
  step.mask = 0;
  return step;
}

ViewStep PlaybackStopped(const ViewState& s) {
  ViewStep step = Show(s, s.saved);
  // A snapshot asked for during the playback is not taken in the grid.
  step.after.snapshot = false;
  step.layoutDirty = true;
  step.sendMask = true;
  step.mask = GridMask(s.saved >> 16);
  return step;
}

ViewStep SnapshotRequested(const ViewState& s) {
  ViewStep step = Unchanged(s);
  step.after.snapshot = true;
  return step;
}

}  // namespace zarvion
