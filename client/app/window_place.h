// The main window's size and place on the platform: its DPI, its size at
// start-up, following a DPI change, and the placement kept between runs in
// the file "window.txt" next to the executable. The rules themselves are in
// client/window_size.h.
#pragma once

#include <windows.h>

#include <string>

#include "core/window_size.h"

namespace window_place {

// The placement file in `folder` (the executable's folder).
std::wstring PlacementPath(const std::wstring& folder);

// The DPI `window` is drawn at: GetDpiForWindow, else GetDpiForSystem
// where the system has them, else the screen's LOGPIXELSX.
int WindowDpi(HWND window);

// Places the freshly created, still hidden `window`: at `saved` when given
// (its normal rectangle; ShowCommand tells how to show it), else sized for
// its DPI by window_size::ClientSize on its monitor's work area and moved
// into that area. At 96 DPI, where the window fits, nothing changes.
// Returns the window's DPI.
int Place(HWND window, const window_size::Placement* saved);

// The show command for a restored window: maximised when it was, as long
// as `show` asks for the ordinary showing.
int ShowCommand(int show, const window_size::Placement& saved);

// The placement kept at `path`, when there is one that can be read and
// restored (window_size::ShouldRestore against the present monitors' work
// areas).
bool LoadPlacement(const std::wstring& path, window_size::Placement* saved);

// Keeps the window's placement at `path`: `fullscreen` says whether the
// client's full screen is on, in which case `windowed` (taken on entering
// it) holds the normal placement. 0 when kept, else the platform's error
// (placement unreadable or file unwritable).
DWORD SavePlacement(const std::wstring& path, HWND window, bool fullscreen,
                    const WINDOWPLACEMENT& windowed);

// WM_DPICHANGED: windowed, the window takes the `suggested` rectangle; in
// full screen it covers the whole monitor of that rectangle.
void FollowDpiChange(HWND window, bool fullscreen, const RECT& suggested);

}  // namespace window_place
