// Geometry of the control window: the toolbar band along the bottom edge,
// and the pointer's pane test.
#pragma once

#include <array>
#include <cstdint>

#include <QRect>

#include "net/control_object.h"

namespace zarvion {

// Control ids of the control window (template 103).
constexpr int kIdRecord = 201;
constexpr int kIdCapture = 203;
constexpr int kIdSettings = 204;
constexpr int kIdPosition = 205;
constexpr int kIdPlaybackRequest = 206;
constexpr int kIdPlayPause = 207;
constexpr int kIdStop = 211;

// The buttons from left to right; the slider follows them.
constexpr std::array<int, 6> kToolbarButtons = {kIdRecord,          kIdCapture,   kIdSettings,
                                                kIdPlaybackRequest, kIdPlayPause, kIdStop};

constexpr int kToolbarHeight = 18;
constexpr int kToolbarButtonWidth = 32;
constexpr int kSliderLeft = 192;
// The renderer shows the window less its bottom kToolbarStrip pixels; the
// double-click measures its panes with 22.
constexpr int kPointerAllowance = 22;

// Button at position k (0..5) and the slider, in client coordinates. The
// slider's width never goes below zero.
QRect ToolbarButtonRect(const QRect& client, int position);
QRect ToolbarSliderRect(const QRect& client);

// The pane of a grid with `side` panes per side that contains the pointer at
// (px, py), relative to a window of the given size, or -1 when the pointer
// is on a boundary, in a gap or outside the grid.
int PaneAtPointer(int side, int windowWidth, int windowHeight, int px, int py);

}  // namespace zarvion
