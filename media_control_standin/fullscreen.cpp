// The control's own full-screen window (TAVRENSIL_STANDIN_FULLSCREEN=1).
#include "fullscreen.h"

#include "standin.h"

namespace standin {
namespace {

const wchar_t kClassName[] = L"TavrensilStandinFullScreen";
const wchar_t kTitle[] = L"Tavrensil Tam Ekran";

// Read at every use, like the other switches.
bool Asked() {
  wchar_t value[4] = {};
  const DWORD n = GetEnvironmentVariableW(L"TAVRENSIL_STANDIN_FULLSCREEN", value, 4);
  return n == 1 && value[0] == L'1';
}

// The class lives only while a window of it may exist, so the DLL leaves
// none behind when it is unloaded.
bool EnsureClass(WNDPROC procedure) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  if (GetClassInfoExW(g_module, kClassName, &wc)) return true;
  wc.lpfnWndProc = procedure;
  wc.hInstance = g_module;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = kClassName;
  return RegisterClassExW(&wc) != 0;
}

RECT MonitorRect(HWND beside) {
  HMONITOR monitor = beside ? MonitorFromWindow(beside, MONITOR_DEFAULTTOPRIMARY)
                          : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO info = {};
  info.cbSize = sizeof info;
  if (monitor && GetMonitorInfoW(monitor, &info)) return info.rcMonitor;
  return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (!dc) return;
  RECT client;
  GetClientRect(window, &client);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 255, 255));
  DrawTextW(dc, kTitle, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  EndPaint(window, &paint);
}

}  // namespace

LRESULT CALLBACK FullscreenWindow::WindowProc(HWND window, UINT message, WPARAM wparam,
                                              LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  } else if (message == WM_PAINT) {
    Paint(window);
    return 0;
  } else if (message == WM_NCDESTROY) {
    // Closed from outside: the owner must not destroy it a second time.
    auto* owner = reinterpret_cast<FullscreenWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (owner) owner->window_ = nullptr;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void FullscreenWindow::OpenIfAsked(HWND beside) {
  if (window_ || !Asked()) return;
  const RECT r = MonitorRect(beside);
  HWND window = nullptr;
  if (EnsureClass(WindowProc)) {
    window = CreateWindowExW(0, kClassName, kTitle, WS_POPUP, r.left, r.top, r.right - r.left,
                             r.bottom - r.top, nullptr, nullptr, g_module, this);
  }
  if (!window) {
    const DWORD code = GetLastError();
    Record("fullscreen fail " + HexCode(code ? HRESULT_FROM_WIN32(code) : E_FAIL));
    return;
  }
  window_ = window;
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  RecordF("fullscreen %ld,%ld,%ld,%ld", static_cast<long>(r.left), static_cast<long>(r.top),
          static_cast<long>(r.right), static_cast<long>(r.bottom));
}

void FullscreenWindow::Close() {
  if (!window_) return;
  HWND window = window_;
  window_ = nullptr;
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  // A window is destroyed only by its own thread; another one asks it to.
  if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
    DestroyWindow(window);
    UnregisterClassW(kClassName, g_module);  // fails while another control's window is open
  } else {
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  Record("fullscreen close");
}

}  // namespace standin
