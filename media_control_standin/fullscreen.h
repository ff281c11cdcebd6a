// The control's own full-screen window: the real control shows one when a
// movie asks for full screen; the stand-in shows it on request
// (TAVRENSIL_STANDIN_FULLSCREEN=1) as soon as it is given its movie, so the
// host can be tested with a window of the control in the foreground.
#pragma once

#include <windows.h>

namespace standin {

class FullscreenWindow {
 public:
  FullscreenWindow() = default;
  FullscreenWindow(const FullscreenWindow&) = delete;
  FullscreenWindow& operator=(const FullscreenWindow&) = delete;
  ~FullscreenWindow() { Close(); }

  // When TAVRENSIL_STANDIN_FULLSCREEN is "1" and no window is open: opens a
  // top-level popup titled "Tavrensil Tam Ekran" over the whole monitor of
  // `beside` (the primary one without it) and activates it. Records
  // "fullscreen L,T,R,B", or "fullscreen fail 0x<hr>" when it cannot.
  void OpenIfAsked(HWND beside);

  // Closes the window if one is open (records "fullscreen close").
  void Close();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HWND window_ = nullptr;
};

}  // namespace standin
