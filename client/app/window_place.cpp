#include "app/window_place.h"

#include <vector>

#include "platform/modules.h"
#include "platform/scoped_win.h"

namespace window_place {

namespace {

const wchar_t kPlacementFile[] = L"window.txt";
// FormatPlacement's line is well under this; a larger file is no placement.
const DWORD kMaxPlacementBytes = 256;

window_size::Rect FromRect(const RECT& r) {
  return window_size::Rect{static_cast<int>(r.left), static_cast<int>(r.top),
                           static_cast<int>(r.right), static_cast<int>(r.bottom)};
}

HMODULE User32() { return GetModuleHandleW(L"user32.dll"); }

// The frame around a client area at `dpi`: outer size minus client size.
window_size::Size FrameSize(HWND window, int dpi) {
  const DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
  const DWORD ex_style = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
  RECT rect = {0, 0, 0, 0};
  auto adjust_for_dpi = ModuleFunction<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>(
      User32(), "AdjustWindowRectExForDpi");
  if (!adjust_for_dpi || !adjust_for_dpi(&rect, style, FALSE, ex_style, static_cast<UINT>(dpi))) {
    rect = RECT{0, 0, 0, 0};
    AdjustWindowRect(&rect, style, FALSE);
  }
  return window_size::Size{static_cast<int>(rect.right - rect.left),
                           static_cast<int>(rect.bottom - rect.top)};
}

BOOL CALLBACK CollectWorkArea(HMONITOR monitor, HDC, RECT*, LPARAM param) {
  MONITORINFO info = {};
  info.cbSize = sizeof(info);
  if (GetMonitorInfoW(monitor, &info)) {
    reinterpret_cast<std::vector<window_size::Rect>*>(param)->push_back(FromRect(info.rcWork));
  }
  return TRUE;
}

// The monitors' work areas in the coordinates of a saved normal rectangle:
// the workspace's, which start at the primary work area's corner.
std::vector<window_size::Rect> WorkAreas() {
  std::vector<window_size::Rect> areas;
  EnumDisplayMonitors(nullptr, nullptr, CollectWorkArea, reinterpret_cast<LPARAM>(&areas));
  MONITORINFO primary = {};
  primary.cbSize = sizeof(primary);
  if (GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &primary)) {
    const int dx = primary.rcWork.left - primary.rcMonitor.left;
    const int dy = primary.rcWork.top - primary.rcMonitor.top;
    for (window_size::Rect& area : areas) {
      area = window_size::Rect{area.left - dx, area.top - dy, area.right - dx, area.bottom - dy};
    }
  }
  return areas;
}

bool ReadSmallFile(const std::wstring& path, std::string* text) {
  const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  char buffer[kMaxPlacementBytes + 1];
  DWORD got = 0;
  if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) || got > kMaxPlacementBytes) {
    return false;
  }
  text->assign(buffer, got);
  return true;
}

// 0 when `text` was written to `path`, else the platform's error.
DWORD WriteSmallFile(const std::wstring& path, const std::string& text) {
  const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return GetLastError();
  DWORD written = 0;
  if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return GetLastError();
  }
  return written == text.size() ? 0 : ERROR_WRITE_FAULT;
}

}  // namespace

std::wstring PlacementPath(const std::wstring& folder) { return folder + L"\\" + kPlacementFile; }

int WindowDpi(HWND window) {
  auto for_window = ModuleFunction<UINT(WINAPI*)(HWND)>(User32(), "GetDpiForWindow");
  if (for_window) {
    if (const UINT dpi = for_window(window)) return static_cast<int>(dpi);
  }
  auto for_system = ModuleFunction<UINT(WINAPI*)()>(User32(), "GetDpiForSystem");
  if (for_system) {
    if (const UINT dpi = for_system()) return static_cast<int>(dpi);
  }
  const ScopedScreenDc screen;
  const int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSX) : 0;
  return dpi > 0 ? dpi : window_size::kBaseDpi;
}

int Place(HWND window, const window_size::Placement* saved) {
  const int dpi = WindowDpi(window);
  if (saved) {
    // SW_HIDE: the window takes the rectangle now and shows later, with
    // the show command of start-up.
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof(placement);
    placement.showCmd = SW_HIDE;
    const window_size::Rect& r = saved->normal;
    placement.rcNormalPosition = RECT{r.left, r.top, r.right, r.bottom};
    // Twice: moving onto a monitor of another scaling makes the system scale
    // the window once on the way (WM_DPICHANGED); the second time puts the
    // saved rectangle back exactly, on that monitor, at its DPI.
    SetWindowPlacement(window, &placement);
    SetWindowPlacement(window, &placement);
    return WindowDpi(window);
  }
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  RECT client = {};
  RECT outer = {};
  if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor) ||
      !GetClientRect(window, &client) || !GetWindowRect(window, &outer)) {
    return dpi;
  }
  const window_size::Rect work = FromRect(monitor.rcWork);
  const window_size::Size frame = FrameSize(window, dpi);
  const window_size::Size size = window_size::ClientSize(
      dpi, frame, window_size::Size{work.right - work.left, work.bottom - work.top});
  if (size.width == client.right && size.height == client.bottom) return dpi;
  const window_size::Rect wanted = window_size::MoveInto(
      window_size::Rect{static_cast<int>(outer.left), static_cast<int>(outer.top),
                        static_cast<int>(outer.left) + size.width + frame.width,
                        static_cast<int>(outer.top) + size.height + frame.height},
      work);
  SetWindowPos(window, nullptr, wanted.left, wanted.top, wanted.right - wanted.left,
               wanted.bottom - wanted.top, SWP_NOZORDER | SWP_NOACTIVATE);
  return dpi;
}

int ShowCommand(int show, const window_size::Placement& saved) {
  const bool ordinary = show == SW_SHOWNORMAL || show == SW_SHOWDEFAULT || show == SW_SHOW;
  return saved.maximized && ordinary ? SW_SHOWMAXIMIZED : show;
}

bool LoadPlacement(const std::wstring& path, window_size::Placement* saved) {
  std::string text;
  window_size::Placement placement;
  if (!ReadSmallFile(path, &text) || !window_size::ParsePlacement(text, &placement) ||
      !window_size::ShouldRestore(placement.normal, WorkAreas())) {
    return false;
  }
  *saved = placement;
  return true;
}

DWORD SavePlacement(const std::wstring& path, HWND window, bool fullscreen,
                    const WINDOWPLACEMENT& windowed) {
  WINDOWPLACEMENT current = {};
  current.length = sizeof(current);
  if (!fullscreen && !GetWindowPlacement(window, &current)) return GetLastError();
  const WINDOWPLACEMENT& normal = fullscreen ? windowed : current;
  window_size::Placement placement;
  placement.normal = FromRect(normal.rcNormalPosition);
  placement.maximized =
      normal.showCmd == SW_SHOWMAXIMIZED ||
      (normal.showCmd == SW_SHOWMINIMIZED && (normal.flags & WPF_RESTORETOMAXIMIZED) != 0);
  placement.fullscreen = fullscreen;
  return WriteSmallFile(path, window_size::FormatPlacement(placement) + "\r\n");
}

void FollowDpiChange(HWND window, bool fullscreen, const RECT& suggested) {
  RECT target = suggested;
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  if (fullscreen &&
      GetMonitorInfoW(MonitorFromRect(&suggested, MONITOR_DEFAULTTONEAREST), &monitor)) {
    target = monitor.rcMonitor;
  }
  SetWindowPos(window, nullptr, target.left, target.top, target.right - target.left,
               target.bottom - target.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace window_place
