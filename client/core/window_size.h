// The rules for the main window's size and for where it reopens: the game's
// 1000 by 600 client area scaled to the monitor's DPI and kept within the
// work area, and the placement kept from the last run. Pure decisions on
// plain numbers (C++ standard library only); client/window_place.h makes the
// platform calls around them.
#pragma once

#include <string>
#include <vector>

namespace window_size {

// The client area at 96 DPI (100 %); every other DPI scales it.
constexpr int kBaseDpi = 96;
constexpr int kBaseClientWidth = 1000;
constexpr int kBaseClientHeight = 600;

struct Size {
  int width = 0;
  int height = 0;
};

// Left, top, right and bottom, as the platform's rectangles.
struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

// `value` scaled from 96 DPI to `dpi`, rounded to the nearest pixel (as
// MulDiv(value, dpi, 96)). A DPI of 0 or less counts as 96.
int Scale(int value, int dpi);

// The client area for `dpi`: 1000 by 600 scaled, or, when the window with
// its `frame` (outer minus client size at that DPI) would not fit the
// `work` area, the largest 5:3 area that fits (never below 100 by 60).
Size ClientSize(int dpi, Size frame, Size work);

// `window` moved (not resized) so that it lies within `work`: right and
// bottom edges first, then left and top, so a window larger than the work
// area keeps its top-left corner (and caption) inside it.
Rect MoveInto(Rect window, Rect work);

// What is kept of the window between runs: its normal (restored) rectangle
// as the platform's window placement gives it, and whether it was
// maximised or in the client's full screen.
struct Placement {
  Rect normal;
  bool maximized = false;
  bool fullscreen = false;
};

// One line, "left=L top=T right=R bottom=B maximized=0|1 fullscreen=0|1".
std::string FormatPlacement(const Placement& placement);

// Reads FormatPlacement's line (a trailing CR/LF allowed). False, leaving
// `placement` alone, for anything else: other keys or order, numbers out of
// +-100000, flags other than 0 or 1, a rectangle not at least 1 by 1.
bool ParsePlacement(const std::string& text, Placement* placement);

// The band of a window the player takes it by: its top kCaptionBand pixels,
// over at least kCaptionReach pixels of its width.
constexpr int kCaptionBand = 30;
constexpr int kCaptionReach = 100;

// Whether `saved` may be restored: on one of the monitors' `work_areas` its
// caption band lies inside and its size fits, so the player can reach and
// move it. Anything less opens as on a first start.
bool ShouldRestore(const Rect& saved, const std::vector<Rect>& work_areas);

}  // namespace window_size
