// Drives a top-level window of another process from a test script.
//   window_tool wait TITLE MILLISECONDS   waits until it is visible; prints
//                                         "client WIDTHxHEIGHT"
//   window_tool close TITLE               asks it to close (WM_CLOSE)
// Exit 0 on success, 1 when the window is not there, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

HWND FindVisible(const wchar_t* title) {
  HWND hwnd = FindWindowW(nullptr, title);
  return (hwnd && IsWindowVisible(hwnd)) ? hwnd : nullptr;
}

int Wait(const wchar_t* title, DWORD limit_ms) {
  const DWORD start = GetTickCount();
  HWND hwnd = nullptr;
  while (!(hwnd = FindVisible(title))) {
    if (GetTickCount() - start > limit_ms) {
      std::printf("no window\n");
      return 1;
    }
    Sleep(50);
  }
  RECT rc;
  GetClientRect(hwnd, &rc);
  std::printf("client %ldx%ld\n", rc.right - rc.left, rc.bottom - rc.top);
  return 0;
}

int Close(const wchar_t* title) {
  HWND hwnd = FindWindowW(nullptr, title);
  if (!hwnd) {
    std::printf("no window\n");
    return 1;
  }
  return PostMessageW(hwnd, WM_CLOSE, 0, 0) ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wcscmp(argv[1], L"wait") == 0) return Wait(argv[2], _wtoi(argv[3]));
  if (argc == 3 && std::wcscmp(argv[1], L"close") == 0) return Close(argv[2]);
  std::fprintf(stderr, "usage: window_tool wait TITLE MS | close TITLE\n");
  return 2;
}
