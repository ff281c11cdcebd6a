// Hosts the web browser control that shows the game's web site.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// The callback for a play navigation: gets the URL the site navigated to.
using PlayNavigationCallback = std::function<void(const std::wstring&)>;

class BrowserHost {
 public:
  // Writes the browser emulation setting for this executable (per user).
  static void EnsureBrowserEmulation();

  // Creates the control in `window` and navigates it to `url`; play
  // navigations go to `callback` instead. False with `last_error` set when
  // the control cannot run.
  bool Create(HWND window, const std::wstring& url, PlayNavigationCallback callback);

  // Fits the control to the window's client area.
  void Resize(int width, int height);

  // Whether a text field of the shown page has the keyboard focus.
  bool HasTextFocus();

  // Offers a message to the control's accelerators; true when it used it.
  bool TranslateAcceleratorW(MSG* message);

  // Releases the control; safe on an empty host and from its own callbacks.
  void Destroy();

  std::wstring last_error;
};
