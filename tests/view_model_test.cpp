#include <gtest/gtest.h>

#include "view/view_model.h"

namespace zarvion {
namespace {

constexpr uint16_t kAllSend = 0xFFFF;

ViewState At(uint32_t shown, uint32_t saved = kDrawGrid16, bool snapshot = false) {
  ViewState s;
  s.shown = shown;
  s.saved = saved;
  s.snapshot = snapshot;
  return s;
}

// The recorder may enlarge one channel after another, or one during a
// playback: the view a double-click returns to is always a grid.
TEST(ViewModel, OnlyAGridIsSavedToReturnTo) {
  ViewState s = ServerSelectView(At(kDrawGrid9, kDrawGrid16), true, 4).after;
  EXPECT_EQ(s.shown, 3u);
  EXPECT_EQ(s.saved, kDrawGrid9);
  s = ServerSelectView(s, true, 6).after;
  EXPECT_EQ(s.saved, kDrawGrid9);
  s = ServerSelectView(At(kDrawPlayback, kDrawGrid4), true, 2).after;
  EXPECT_EQ(s.saved, kDrawGrid4);

  const ViewStep back = DoubleClick(At(5, kDrawGrid9), -1, kAllSend);
  EXPECT_EQ(back.after.shown, kDrawGrid9);
  EXPECT_EQ(back.mask, 0x01FF);

  // A grid of the recorder's or the user's choosing replaces the saved one.
  EXPECT_EQ(ServerSelectView(At(5, kDrawGrid16), false, 4).after.saved, kDrawGrid4);
  EXPECT_EQ(GridChosen(At(5, kDrawGrid16), kDrawGrid9).after.saved, kDrawGrid9);
  // Channel 0 or above 16 names no decoder: nothing changes.
  EXPECT_FALSE(ServerSelectView(At(kDrawGrid4), true, 0).applies);
  EXPECT_FALSE(ServerSelectView(At(kDrawGrid4), true, 17).applies);
}

// A snapshot asked for in one view is never taken in the next.
TEST(ViewModel, EveryChangeOfViewDropsAPendingSnapshot) {
  const ViewState single = At(5, kDrawGrid16, true);
  const ViewState playback = At(kDrawPlayback, kDrawGrid16, true);
  const ViewStep changes[] = {
      DoubleClick(single, -1, kAllSend),
      DoubleClick(At(kDrawGrid16, kDrawGrid16, true), 5, kAllSend),
      GridChosen(single, kDrawGrid4),
      ServerSelectView(single, true, 2),
      ServerSelectView(single, false, 9),
      PlaybackStarted(single),
      PlaybackStopped(playback),
  };
  for (const ViewStep& step : changes) {
    EXPECT_TRUE(step.Changed()) << step.after.shown;
    EXPECT_FALSE(step.after.snapshot) << step.after.shown;
  }
  // Where the view stays, so does the request.
  EXPECT_TRUE(DoubleClick(playback, 3, kAllSend).after.snapshot);
  EXPECT_TRUE(ServerSelectView(single, true, 6).after.snapshot);
  EXPECT_TRUE(SnapshotRequested(At(5)).after.snapshot);
}

// The record and capture buttons follow whatever view a step leads to,
// whoever changed it.
TEST(ViewModel, ButtonsFollowTheViewShown) {
  struct Case {
    ViewStep step;
    bool record;
    bool capture;
  };
  const Case cases[] = {
      {DoubleClick(At(kDrawGrid16), 5, kAllSend), true, true},
      {DoubleClick(At(5), -1, kAllSend), false, false},
      {ServerSelectView(At(kDrawGrid16), true, 3), true, true},
      {ServerSelectView(At(2), false, 4), false, false},
      {PlaybackStarted(At(2)), false, true},
      {PlaybackStopped(At(kDrawPlayback, kDrawGrid9)), false, false},
      // The recorder enlarged a channel during the playback: the stop leaves
      // that channel, whose recording must end with it.
      {PlaybackStopped(At(4, kDrawGrid9)), false, false},
      {GridChosen(At(7), kDrawGrid4), false, false},
      {ServerSelectView(At(kDrawGrid16), false, 5), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.step.Buttons().record, c.record) << c.step.after.shown;
    EXPECT_EQ(c.step.Buttons().capture, c.capture) << c.step.after.shown;
  }
  EXPECT_EQ(PlaybackStopped(At(4, kDrawGrid9)).Left(), 4u);
}

// With no layout chosen, the first view fits the recorder's channels.
TEST(ViewModel, FirstViewFitsTheRecorderUntilTheUserChooses) {
  ViewState fresh = InitialView(ViewState{}, 0, false).after;
  EXPECT_EQ(fresh.shown, kDrawGrid16);
  EXPECT_TRUE(fresh.fitToChannels);
  EXPECT_EQ(FittedView(0), kDrawGrid16);
  EXPECT_EQ(FittedView(1), 0u);
  EXPECT_EQ(FittedView(4), kDrawGrid4);
  EXPECT_EQ(FittedView(5), kDrawGrid9);
  EXPECT_EQ(FittedView(9), kDrawGrid9);
  EXPECT_EQ(FittedView(10), kDrawGrid16);

  const ViewStep grid = FitToChannels(fresh, 3);
  EXPECT_EQ(grid.after.shown, kDrawGrid4);
  EXPECT_EQ(grid.after.saved, kDrawGrid4);
  EXPECT_FALSE(grid.sendMask);  // the grid covers every channel there is
  EXPECT_FALSE(FitToChannels(fresh, 16).applies);

  // One channel: its single view comes with its first picture, and the
  // double-click returns to the 2 x 2 grid.
  EXPECT_FALSE(FitToChannels(fresh, 1).applies);
  const ViewStep single = FitToFirstPicture(fresh);
  EXPECT_EQ(single.after.shown, 0u);
  EXPECT_EQ(single.after.saved, kDrawGrid4);

  // A layout chosen, stored or just now, or a view changed meanwhile,
  // is never fitted.
  EXPECT_FALSE(FitToChannels(InitialView(ViewState{}, kDrawGrid16, true).after, 3).applies);
  const ViewState chosen = GridChosen(fresh, kDrawGrid16).after;
  EXPECT_FALSE(chosen.fitToChannels);
  EXPECT_FALSE(FitToChannels(chosen, 3).applies);
  EXPECT_FALSE(FitToFirstPicture(chosen).applies);
  EXPECT_FALSE(FitToFirstPicture(ServerSelectView(fresh, true, 2).after).applies);
}

TEST(ViewModel, DoubleClickEnlargesOnlyAChannelThatSends) {
  const uint16_t onlySix = 1u << 5;
  ViewStep step = DoubleClick(At(kDrawGrid16), 4, onlySix);
  EXPECT_FALSE(step.Changed());
  EXPECT_EQ(step.mask, 0xFFFF);
  step = DoubleClick(At(kDrawGrid16), 5, onlySix);
  EXPECT_EQ(step.after.shown, 5u);
  EXPECT_EQ(step.mask, 0x0020);
  EXPECT_FALSE(step.layoutDirty);
  // Back in the grid, the channels not sent meanwhile wait for a key frame.
  step = DoubleClick(step.after, -1, onlySix);
  EXPECT_EQ(step.after.shown, kDrawGrid16);
  EXPECT_TRUE(step.layoutDirty);
  EXPECT_EQ(step.keyFramePanes, 16);
  // Pane 5 is not in a 2 x 2 grid; the playback view is left only by stop.
  EXPECT_FALSE(DoubleClick(At(kDrawGrid4), 5, onlySix).Changed());
  step = DoubleClick(At(kDrawPlayback), 0, kAllSend);
  EXPECT_FALSE(step.Changed());
  EXPECT_EQ(step.mask, 0);
  // A word of nothing stays and sends nothing.
  EXPECT_FALSE(DoubleClick(At(0x00050000), 0, kAllSend).sendMask);
}

TEST(ViewModel, MasksOfTheUsersChoices) {
  // Only the three grids are layouts.
  for (uint32_t word : {0x00200000u, 0xFFFFFFFFu, 0x00050000u, 5u, 0u}) {
    const ViewStep step = GridChosen(At(kDrawGrid9), word);
    EXPECT_EQ(step.after.shown, kDrawGrid16) << std::hex << word;
    EXPECT_EQ(step.mask, 0xFFFF) << std::hex << word;
  }
  EXPECT_EQ(InitialView(ViewState{}, 7, true).after.saved, kDrawGrid16);
  EXPECT_EQ(GridChosen(At(kDrawGrid16), kDrawGrid9).mask, 0x01FF);

  const ViewStep start = PlaybackStarted(At(kDrawGrid9, kDrawGrid9));
  EXPECT_EQ(start.after.shown, kDrawPlayback);
  EXPECT_TRUE(start.sendMask);
  EXPECT_EQ(start.mask, 0);
  const ViewStep stop = PlaybackStopped(start.after);
  EXPECT_EQ(stop.after.shown, kDrawGrid9);
  EXPECT_EQ(stop.mask, 0x01FF);
  // The recorder's own choice is not answered.
  EXPECT_FALSE(ServerSelectView(At(kDrawGrid16), true, 3).sendMask);
}

}  // namespace
}  // namespace zarvion
