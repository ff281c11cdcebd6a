// Hosts the media control that plays the game movie.
#pragma once

#include <windows.h>

#include <string>

class FlashHost {
 public:
  // Loads the control from the file at `path` and activates it in `window`.
  // False with `last_error` set when any step fails.
  bool Create(HWND window, const std::wstring& path);

  // Sets a string property by name; false when it cannot be set.
  bool SetProperty(const wchar_t* name, const std::wstring& value);

  // A numeric property by name, or -1 when it cannot be read.
  long GetLong(const wchar_t* name);

  // Fits the control to the window's client area.
  void Resize(int width, int height);

  // Releases the control; safe on an empty host.
  void Destroy();

  std::wstring last_error;
};
