// Mobile mode: tells a companion process whether to show the on-screen
// keyboard and where touches belong.
#pragma once

#include <windows.h>

namespace mobile {

using LogFunction = void (*)(const wchar_t* format, ...);
using TextFocusFunction = bool (*)();

// Starts the bridge and its poll timer on `window`.
void Start(HWND window, LogFunction log, TextFocusFunction web_text_focus);

// One poll; called on the bridge's timer.
void OnTimer(HWND window);

// Stops the timer and the bridge.
void Stop(HWND window);

}  // namespace mobile
