// The client shell: start-up options, the main window, the screenshot file,
// full screen and reload, the update notice and the movie launch. The game
// session's own declarations are in session.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// The start-up options, filled once from the command line.
struct ClientOptions {
  std::wstring movie;
  std::wstring flashvars;
  std::wstring wmode = L"direct";
  std::wstring site;  // set to the configured site base URL by default
  std::wstring shot;
  int32_t after = 5000;
  bool mobile = false;
  std::wstring loading;
};

// The options with their defaults, `argv[1..argc-1]` applied in order:
// exact option names only; an option needing a value takes the next argument
// whatever it is, and as the last argument leaves its field empty (0).
ClientOptions ParseArguments(int argc, wchar_t* const* argv);

// The executable's folder without a trailing separator ("." if unknown),
// however long its path.
std::wstring ModuleDir();

// The folder part of an executable path as ModuleDir gives it.
std::wstring DirectoryOf(const std::wstring& path);

// Bytes of one 24-bit pixel row of `width` pixels, padded to 4 bytes.
uint32_t BitmapStride(int width);

// The two headers of an uncompressed bottom-up 24-bit bitmap file.
void FillBitmapHeaders(int width, int height, BITMAPFILEHEADER* file, BITMAPINFOHEADER* info);

// Writes headers and pixels to `path`. Writes nothing and returns false when
// `pixels` is null (no complete file can be made) or the file cannot be
// created; a failed write leaves a short file.
bool WriteBitmapFile(const std::wstring& path, const BITMAPFILEHEADER& file,
                     const BITMAPINFOHEADER& info, const void* pixels);

// MobileMovie with the --loading option.
std::string MobileMovie(const std::string& movie);

// Writes the media control file if needed, creates the control in `window`
// and gives it its properties, "Movie" last. True when the control was
// created; a failure is logged and shown to the player.
bool LaunchFlash(HWND window, const std::wstring& movie, const std::wstring& flashvars);

// The main window's message handler.
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// F11: the borderless full screen on the window's monitor, and back.
void ToggleNativeFullscreen(HWND window);

// F5: restarts the game movie while it runs, else reloads the start page.
void ReloadCurrent(HWND window);

// Whether a text field of the web page has the focus (never during a game).
bool WebTextFocus();

// Asks the server whether this build must be updated; if so tells the
// player, opens the download page and ends the process with code 0.
void CheckUpdateOnStartup(HWND window);
