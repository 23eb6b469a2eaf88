// The view of one control as a value, and every way it changes.
//
// The view is the DrawMode shown, the grid a double-click returns to, the
// snapshot asked for and not yet taken, and whether the session may still
// fit the view to the recorder's channel count. Each transition takes the
// view as it is and returns a ViewStep: the view after it, the
// SelectChannels mask to send (if any), and what the renderer and decoders
// are to do. The rules live here and nowhere else; the control object keeps
// the view in its words (see ReadView / ApplyView in net/control_object.h).
#pragma once

#include <cstdint>

#include "view/draw_mode.h"

namespace zarvion {

struct ViewState {
  uint32_t shown = kDefaultDrawMode;  // dwDrawMode
  uint32_t saved = kDefaultDrawMode;  // dwSavedDrawMode: a grid to return to
  bool snapshot = false;              // bSnapshot: taken at the next composition
  bool fitToChannels = false;         // bFitViewToChannels: no layout was chosen
};

// The record and capture buttons of a view. The record button is enabled
// only when `record` is set and the channel shown alone has sent pictures.
struct ViewButtons {
  bool record = false;
  bool capture = false;
};
constexpr ViewButtons ButtonsFor(uint32_t view) {
  if (IsChannelView(view)) return ViewButtons{true, true};
  return ViewButtons{false, view == kDrawPlayback};
}

struct ViewStep {
  ViewState before;
  ViewState after;
  // False when the transition does not apply (the view stays as it was).
  bool applies = true;
  // A SelectChannels with `mask` goes out.
  bool sendMask = false;
  uint16_t mask = 0;
  // The layout is composed anew from the next redraw.
  bool layoutDirty = false;
  // Decoders of the slots below this, except the one shown alone before,
  // wait for a key frame (they were not sent while the one was enlarged).
  int keyFramePanes = 0;

  uint32_t Left() const { return before.shown; }
  bool Changed() const { return applies && after.shown != before.shown; }
  ViewButtons Buttons() const { return ButtonsFor(after.shown); }
};

// The view that fits a recorder of `channels` channels: channel 1 alone,
// the 2 x 2 or 3 x 3 grid, else (none, or more than 9) the 4 x 4 grid.
uint32_t FittedView(uint32_t channels);

// The first view of a window: the stored layout (`chosen`: one was chosen in
// the settings dialog), else the 4 x 4 grid, as shown and as saved.
ViewStep InitialView(const ViewState& s, uint32_t storedLayout, bool chosen);

// A double-click in the video area. `pane` is the grid pane under the
// pointer (-1 for none); bit k of `sending` is set once slot k has sent a
// picture. From a grid, a pane whose channel sends fills the view; from a
// channel alone, back to the saved grid; the playback view stays.
ViewStep DoubleClick(const ViewState& s, int pane, uint16_t sending);

// A grid chosen in the settings dialog: shown and saved, sent, and the
// recorder's channel count no longer fits the view.
ViewStep GridChosen(const ViewState& s, uint32_t layout);

// The recorder's SelectView: `channel` alone (`single`), else a grid of
// `channel` panes. Nothing is sent back.
ViewStep ServerSelectView(const ViewState& s, bool single, uint32_t channel);

// Whether the session may still fit the view to the recorder: no layout was
// chosen and the view is the one a session starts with.
bool MayFitView(const ViewState& s);
// SessionInfo gave the channel count: the grid that fits it, at once. (A
// one-channel recorder's view waits for its first picture.)
ViewStep FitToChannels(const ViewState& s, uint32_t channels);
// The first picture of channel 1 of a one-channel recorder: its single view,
// with the 2 x 2 grid to return to.
ViewStep FitToFirstPicture(const ViewState& s);

// PlaybackInfo arrived: the playback view, no live channel wanted.
ViewStep PlaybackStarted(const ViewState& s);
// The stop button: back to the saved grid and its channels.
ViewStep PlaybackStopped(const ViewState& s);

// The capture button: the next composition saves the view.
ViewStep SnapshotRequested(const ViewState& s);

}  // namespace zarvion
