// The client shell: start-up, the main window with its handlers and
// shutdown, full screen and reload, the screenshot of direct-movie mode, the
// update notice and the launch of the game movie. The game session itself
// (hello, play, beats, goodbye) lives in session.cpp; the shell drives it and
// shows what it reports.
//
// Reading order: constants and globals; the session's glue; the movie
// launch; the window's handlers and WindowProc; start-up and wWinMain.
#include <windows.h>

#include <avrt.h>
#include <ole2.h>
#include <shellapi.h>
#include <timeapi.h>

#include <memory>

#include "app/anticheat.h"
#include "app/bitmap_file.h"
#include "app/browser_host.h"
#include "app/crash_report.h"
#include "app/flash_embed.h"
#include "app/flash_host.h"
#include "app/log.h"
#include "app/mobile_bridge.h"
#include "app/options.h"
#include "platform/modules.h"
#include "platform/scoped_win.h"
#include "app/session.h"
#include "core/site_address.h"
#include "platform/system_libraries.h"
#include "app/ui_wait.h"
#include "app/window_place.h"

// Ask hybrid-graphics drivers to run the client on the discrete GPU.
extern "C" {
__declspec(dllexport) DWORD NvOptimusEnablement = 1;
__declspec(dllexport) DWORD AmdPowerXpressRequestHighPerformance = 1;
}

// ---------------------------------------------------------------------------
// Constants and globals.

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

namespace {

const wchar_t kWindowClass[] = L"TavrensilClientWindow";
const wchar_t kWindowTitle[] = L"Tavrensil Online";
// The exit code of a start refused for its command line.
const int kExitBadOption = 2;
const int kClientWidth = 1000;
const int kClientHeight = 600;
const int kHotKeyReload = 1;
const int kHotKeyFullscreen = 2;
const UINT kVirtualKeyF5 = 0x74;
const UINT kVirtualKeyF11 = 0x7A;
const UINT_PTR kTimerScreenshot = 1;
const wchar_t kOcxName[] = L"Flash32_32_0_0_363.ocx";

// The scheduling functions of winmm.dll and avrt.dll, from the system folder.
struct SchedulingFunctions {
  decltype(&::timeBeginPeriod) timeBeginPeriod;
  decltype(&::timeEndPeriod) timeEndPeriod;
  decltype(&::AvSetMmThreadCharacteristicsW) AvSetMmThreadCharacteristicsW;
  decltype(&::AvRevertMmThreadCharacteristics) AvRevertMmThreadCharacteristics;
};

const SchedulingFunctions& Scheduling() {
  static const SchedulingFunctions table = [] {
    const HMODULE winmm = LoadSystemLibrary(L"winmm.dll");
    const HMODULE avrt = LoadSystemLibrary(L"avrt.dll");
    SchedulingFunctions t;
    BIND_SYSTEM_FUNCTION(t, winmm, timeBeginPeriod);
    BIND_SYSTEM_FUNCTION(t, winmm, timeEndPeriod);
    BIND_SYSTEM_FUNCTION(t, avrt, AvSetMmThreadCharacteristicsW);
    BIND_SYSTEM_FUNCTION(t, avrt, AvRevertMmThreadCharacteristics);
    return t;
  }();
  return table;
}

// The start-up steps that need an undo, each undone exactly once, when its
// object goes at the end of wWinMain.
class ScopedTimerResolution {
 public:
  ScopedTimerResolution() { Scheduling().timeBeginPeriod(1); }
  ~ScopedTimerResolution() { Scheduling().timeEndPeriod(1); }
  ScopedTimerResolution(const ScopedTimerResolution&) = delete;
  ScopedTimerResolution& operator=(const ScopedTimerResolution&) = delete;
};

class ScopedOle {
 public:
  ScopedOle() : ok_(SUCCEEDED(OleInitialize(nullptr))) {}
  ~ScopedOle() {
    if (ok_) OleUninitialize();
  }
  ScopedOle(const ScopedOle&) = delete;
  ScopedOle& operator=(const ScopedOle&) = delete;
  bool ok() const { return ok_; }

 private:
  const bool ok_;
};

// The calling thread registered as the media thread of a game.
class ScopedMmcss {
 public:
  ScopedMmcss() {
    DWORD task_index = 0;
    handle_ = Scheduling().AvSetMmThreadCharacteristicsW(L"Games", &task_index);
  }
  ~ScopedMmcss() {
    if (handle_) Scheduling().AvRevertMmThreadCharacteristics(handle_);
  }
  ScopedMmcss(const ScopedMmcss&) = delete;
  ScopedMmcss& operator=(const ScopedMmcss&) = delete;
  bool registered() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

WINDOWPLACEMENT EmptyPlacement() {
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  return placement;
}

ClientOptions g_options;
// The one game session of the run; it owns the HTTP client.
std::unique_ptr<GameSession> g_session;
BrowserHost g_browser;
FlashHost g_flash;
bool g_game_running = false;
bool g_native_fullscreen = false;
WINDOWPLACEMENT g_saved_placement = EmptyPlacement();
std::wstring g_last_movie;
std::wstring g_last_flashvars;
mobile::Bridge g_mobile;  // in mobile mode only

// How many reloads and session starts are running. Their message boxes run
// a message loop of their own, which would otherwise deliver an F5 into the
// middle of them.
int g_busy_depth = 0;

// Marks a reload or a session start as running for its scope.
class BusyScope {
 public:
  BusyScope() { ++g_busy_depth; }
  ~BusyScope() { --g_busy_depth; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
};

}  // namespace

// ---------------------------------------------------------------------------
// Options and files.

// ---------------------------------------------------------------------------
// The session's glue: what the session reports, shown to the player.

namespace {

void SessionBox(HWND window, const std::wstring& text, UINT icon) {
  MessageBoxW(window, text.c_str(), L"Tavrensil", MB_OK | icon);
}

void OnPlayNavigated(HWND window, const std::wstring& url) {
  const BusyScope busy;
  if (!g_session->Take(url)) {
    SessionBox(window, L"Oturum anahtarı alınamadı, lütfen tekrar giriş yapın.", MB_ICONWARNING);
    return;
  }
  g_browser.Destroy();
  // Hello and play need the route; the window answers while it is found.
  if (WaitForRoute(g_session->Http()) == UiWaitResult::kClosed) return;
  const SessionOpening opening = g_session->Open();
  if (!opening.ok) {
    // The update check ends the process when it finds an update; when it
    // finds none, the player must still learn why no game starts.
    if (opening.check_update) CheckUpdateOnStartup(window);
    SessionBox(window, opening.error, MB_ICONERROR);
    return;
  }
  const std::string movie =
      g_options.mobile ? MobileMovie(opening.movie, g_options.loading) : opening.movie;
  if (LaunchFlash(window, Utf8ToWide(movie), Utf8ToWide(opening.flashvars))) {
    g_session->StartHeartbeat();
  }
}

PlayNavigationCallback MakePlayCallback(HWND window) {
  return [window](const std::wstring& url) { OnPlayNavigated(window, url); };
}

}  // namespace

void CheckUpdateOnStartup(HWND window) {
  UpdateAnswer answer;
  if (!g_session || !g_session->CheckUpdate(&answer) || !answer.must_update) return;
  MessageBoxW(window, UpdateNoticeText(answer.latest_build).c_str(),
              L"Tavrensil Güncelleme Gereklidir", MB_OK | MB_ICONINFORMATION);
  // The shell opens whatever it is given; the server's text must not be able
  // to start a local program, so only web addresses go to the browser.
  if (IsDownloadAddress(answer.download_url)) {
    ShellExecuteW(nullptr, L"open", answer.download_url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  }
  ExitProcess(0);
}

// ---------------------------------------------------------------------------
// The game movie.

// Logs and shows why the control could not be started.
void ShowFlashError(HWND window, const std::wstring& text) {
  Log(L"flash olusturulamadi: %ls", text.c_str());
  MessageBoxW(window, text.c_str(), L"Tavrensil Flash Hatası", MB_OK | MB_ICONERROR);
}

bool LaunchFlash(HWND window, const std::wstring& movie, const std::wstring& flashvars) {
  std::wstring error;
  const std::wstring path = flash_embed::ChooseOcx(kOcxName, ModuleDir(), &error);
  if (!error.empty()) Log(L"gomulu flash: %ls", error.c_str());
  if (path.empty()) {
    // Not our control: shown as a file the system would not load.
    wchar_t text[64] = {};
    _snwprintf(text, 63, L"Flash.ocx yuklenemedi (0x%08lX)",
               static_cast<unsigned long>(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)));
    ShowFlashError(window, text);
    return false;
  }
  Log(L"flash ocx: %ls", path.c_str());
  if (!g_flash.Create(window, path)) {
    ShowFlashError(window, g_flash.last_error);
    return false;
  }
  Log(L"flash olusturuldu (wmode=%ls)", g_options.wmode.c_str());
  struct Property {
    const wchar_t* name;
    std::wstring value;
    bool set;
  };
  const Property properties[] = {
      {L"WMode", g_options.wmode, true},
      {L"Quality2", L"high", true},
      {L"AllowScriptAccess", L"always", true},
      {L"AllowFullScreen", L"true", true},
      {L"AllowFullScreenInteractive", L"true", true},
      {L"FlashVars", flashvars, !flashvars.empty()},
      {L"Movie", movie, !movie.empty()},  // last: the control starts loading on it
  };
  for (const Property& p : properties) {
    if (!p.set) continue;
    const bool ok = g_flash.SetProperty(p.name, p.value);
    Log(L"set %ls = %ls -> %ls", p.name, p.value.c_str(), ok ? L"ok" : g_flash.last_error.c_str());
  }
  g_last_movie = movie;
  g_last_flashvars = flashvars;
  g_game_running = true;
  return true;
}

// ---------------------------------------------------------------------------
// The window: full screen, reload, the screenshot and the window procedure.

namespace {

void OnSize(LPARAM lparam) {
  const int width = LOWORD(lparam);
  const int height = HIWORD(lparam);
  if (g_game_running) {
    g_flash.Resize(width, height);
  } else {
    g_browser.Resize(width, height);
  }
}

// Copies the client area from the screen into a 24-bit DIB section and
// writes it to `path`; nothing is written when the capture cannot be made.
void CaptureClientArea(HWND window, const std::wstring& path) {
  RECT client;
  GetClientRect(window, &client);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  SetForegroundWindow(window);

  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  FillBitmapHeaders(width, height, &file, &info);
  BITMAPINFO create_info = {};
  create_info.bmiHeader = info;
  create_info.bmiHeader.biSizeImage = 0;

  const ScopedScreenDc screen;
  const ScopedMemoryDc memory(screen.get());
  if (!memory.get()) return;
  void* pixels = nullptr;
  const ScopedGdiObject<HBITMAP> bitmap(
      CreateDIBSection(screen.get(), &create_info, DIB_RGB_COLORS, &pixels, nullptr, 0));
  if (!bitmap.get()) return;
  const ScopedSelection selected(memory.get(), bitmap.get());
  BitBlt(memory.get(), 0, 0, width, height, screen.get(), origin.x, origin.y, SRCCOPY);
  GdiFlush();
  WriteBitmapFile(path, file, info, pixels);
}

void TakeScreenshotAndClose(HWND window) {
  KillTimer(window, kTimerScreenshot);
  const long frame = g_flash.GetLong(L"FrameNum");
  const long total = g_flash.GetLong(L"TotalFrames");
  const long ready = g_flash.GetLong(L"ReadyState");
  Log(L"ReadyState=%ld TotalFrames=%ld FrameNum=%ld", ready, total, frame);
  CaptureClientArea(window, g_options.shot);
  DestroyWindow(window);
}

void OnTimer(HWND window, WPARAM id) {
  if (id == mobile::kTimerId) {
    g_mobile.OnTimer();
  } else if (id == kTimerScreenshot) {
    TakeScreenshotAndClose(window);
  }
}

void OnHotKey(HWND window, WPARAM id) {
  if (id == kHotKeyReload) {
    ReloadCurrent(window);
  } else if (id == kHotKeyFullscreen) {
    ToggleNativeFullscreen(window);
  }
}

// F5 and F11 belong to the client only while one of its windows is the
// active one (the media control's own full-screen window counts); other
// programs keep their own F5 and F11 meanwhile.
void SetHotKeys(HWND window, bool active) {
  if (active) {
    RegisterHotKey(window, kHotKeyReload, 0, kVirtualKeyF5);
    RegisterHotKey(window, kHotKeyFullscreen, 0, kVirtualKeyF11);
  } else {
    UnregisterHotKey(window, kHotKeyReload);
    UnregisterHotKey(window, kHotKeyFullscreen);
  }
}

// Whether the foreground window is one of this process's.
bool ProcessInForeground() {
  DWORD process = 0;
  GetWindowThreadProcessId(GetForegroundWindow(), &process);
  return process == GetCurrentProcessId();
}

// The suggested rectangle (or, in full screen, the new monitor) and the
// active control resized to the client area, even when its size stayed.
void OnDpiChanged(HWND window, LPARAM lparam) {
  if (!lparam) return;
  window_place::FollowDpiChange(window, g_native_fullscreen,
                                *reinterpret_cast<const RECT*>(lparam));
  RECT client = {};
  GetClientRect(window, &client);
  OnSize(MAKELPARAM(client.right, client.bottom));
}

void OnDestroy(HWND window) {
  // Mobile mode always starts in full screen and keeps no placement.
  if (!g_options.mobile) {
    const DWORD error = window_place::SavePlacement(window_place::PlacementPath(ModuleDir()),
                                                    window, g_native_fullscreen, g_saved_placement);
    if (error) Log(L"pencere yerlesimi yazilamadi (hata=%lu)", error);
  }
  SetHotKeys(window, false);
  if (g_options.mobile) g_mobile.Stop(window);
  StopAntiCheat();
  g_session->Close();
  g_flash.Destroy();
  g_browser.Destroy();
  PostQuitMessage(0);
}

}  // namespace

void ToggleNativeFullscreen(HWND window) {
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  if (g_native_fullscreen) {
    SetWindowLongW(window, GWL_STYLE, style | WS_OVERLAPPEDWINDOW);
    SetWindowPlacement(window, &g_saved_placement);
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
    g_native_fullscreen = false;
  } else {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (GetWindowPlacement(window, &g_saved_placement) &&
        GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
      const RECT& r = monitor.rcMonitor;
      SetWindowLongW(window, GWL_STYLE, style & ~WS_OVERLAPPEDWINDOW);
      SetWindowPos(window, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                   SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
      g_native_fullscreen = true;
    }
  }
  Log(L"F11: tam_ekran=%d", g_native_fullscreen ? 1 : 0);
}

void ReloadCurrent(HWND window) {
  if (g_busy_depth > 0) {  // F5 again while a reload's box is open
    Log(L"F5: yok sayildi (istemci mesgul)");
    return;
  }
  const BusyScope busy;
  Log(L"F5: yenileniyor (oyun_icinde=%d)", g_game_running ? 1 : 0);
  if (g_game_running) {
    // The heartbeat goes on as it was: the beat in flight, if any, brings
    // the next challenge, and the next beat comes when it is due.
    g_flash.Destroy();
    LaunchFlash(window, g_last_movie, g_last_flashvars);
    g_session->StartHeartbeat();
    return;
  }
  g_browser.Destroy();
  g_browser.Create(window, g_options.site + L"/?client=1", MakePlayCallback(window));
}

bool WebTextFocus() { return g_game_running ? false : g_browser.HasTextFocus(); }

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      OnSize(lparam);
      return 0;
    case WM_TIMER:
      OnTimer(window, wparam);
      return 0;
    case WM_HOTKEY:
      OnHotKey(window, wparam);
      return 0;
    case WM_ACTIVATEAPP:
      // The process's activation, not the window's: moving between the main
      // window and the media control's full-screen window keeps the keys.
      SetHotKeys(window, wparam != FALSE);
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(window, lparam);
      return 0;
    case WM_DESTROY:
      OnDestroy(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

// ---------------------------------------------------------------------------
// Start-up.

namespace {

// Newer systems know per-monitor awareness; older ones only the plain kind.
// user32 is already loaded, so this asks for no new module.
void SetDpiAwareness() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  auto set_context = ModuleFunction<BOOL(WINAPI*)(HANDLE)>(user32, "SetProcessDpiAwarenessContext");
  // -4: per-monitor awareness, version 2.
  if (set_context && set_context(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;
  auto set_aware = ModuleFunction<BOOL(WINAPI*)()>(user32, "SetProcessDPIAware");
  if (set_aware) set_aware();
}

void ReadCommandLine() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) argc = 0;
  g_options = ParseArguments(argc, argv);
  if (argv) LocalFree(argv);
}

void RaisePriority() {
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

HICON LoadClassIcon(HINSTANCE instance, int size, bool from_file) {
  const UINT flags = (size == 0 ? LR_DEFAULTSIZE : 0) | (from_file ? LR_LOADFROMFILE : 0);
  if (from_file) {
    const std::wstring path = ModuleDir() + L"\\res\\app.ico";
    return static_cast<HICON>(LoadImageW(nullptr, path.c_str(), IMAGE_ICON, size, size, flags));
  }
  return static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, flags));
}

void RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadClassIcon(instance, 0, false);
  wc.hIconSm = LoadClassIcon(instance, 16, false);
  if (!wc.hIcon) {
    wc.hIcon = LoadClassIcon(instance, 0, true);
    wc.hIconSm = LoadClassIcon(instance, 16, true);
  }
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);
}

// Created at the 96-DPI size, then placed where the player left it
// (`saved`) or sized for the DPI of the monitor it opened on.
HWND CreateMainWindow(HINSTANCE instance, const window_size::Placement* saved) {
  RECT rect = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  HWND window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, rect.right - rect.left, rect.bottom - rect.top,
                                nullptr, nullptr, instance, nullptr);
  if (!window) return nullptr;
  const int dpi = window_place::Place(window, saved);
  if (dpi != window_size::kBaseDpi) Log(L"pencere: dpi=%d", dpi);
  return window;
}

void StartMode(HWND window) {
  if (!g_options.movie.empty()) {
    LaunchFlash(window, g_options.movie, g_options.flashvars);
    if (!g_options.shot.empty()) {
      SetTimer(window, kTimerScreenshot, static_cast<UINT>(g_options.after), nullptr);
    }
    return;
  }
  if (!g_browser.Create(window, g_options.site + L"/?client=1", MakePlayCallback(window))) {
    MessageBoxW(window, L"Web tarayıcı bileşeni başlatılamadı.", L"Tavrensil",
                MB_OK | MB_ICONERROR);
  }
}

// Waits for the route to the site with the window answering (a nested F5
// finds the client busy); false when the window was closed meanwhile.
bool AwaitSiteRoute() {
  const BusyScope busy;
  return WaitForRoute(g_session->Http()) != UiWaitResult::kClosed;
}

// A --site that the client cannot read ends the start before anything is
// sent: an address read one way here and another way by the browser could
// send the session to a host the player never sees. One that it reads is
// written out as read (scheme and all), so the browser, the HTTP client and
// the cookie store all take that reading, never the raw text.
bool CheckSiteOption() {
  SiteAddress site;
  if (ReadSiteAddress(g_options.site, &site)) {
    g_options.site = SiteText(site);
    return true;
  }
  const std::wstring text = L"Geçersiz site adresi: " + g_options.site;
  MessageBoxW(nullptr, text.c_str(), L"Tavrensil", MB_OK | MB_ICONERROR);
  return false;
}

int RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!g_game_running && g_browser.TranslateAcceleratorW(&msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  LimitLibrarySearch();
  SetDpiAwareness();
  BrowserHost::EnsureBrowserEmulation();
  ReadCommandLine();
  const std::wstring folder = ModuleDir();
  KeepLastLog(folder);
  OpenLog(folder + L"\\client.log");
  crash_report::Install(folder, Log);
  flash_embed::RemoveStaleCopies(kOcxName);
  Log(L"Tavrensil Client baslatildi (Build %d)", kBuild);
  if (!CheckSiteOption()) return kExitBadOption;
  const ScopedTimerResolution timer_resolution;
  RaisePriority();
  g_session.reset(new GameSession(g_options.site));
  if (!AntiCheatStartupCheck(&g_session->Http(), kBuild)) return 1;
  const ScopedOle ole;
  if (!ole.ok()) return 1;
  RegisterWindowClass(instance);
  window_size::Placement placement;
  const bool restore = !g_options.mobile &&
                       window_place::LoadPlacement(window_place::PlacementPath(folder), &placement);
  HWND window = CreateMainWindow(instance, restore ? &placement : nullptr);
  if (!window) return 1;
  // F5 and F11 are registered when the process becomes active (WM_ACTIVATEAPP).
  const ScopedMmcss media_thread;
  Log(L"MMCSS 'Games' kaydi: %ls", media_thread.registered() ? L"ok" : L"basarisiz");
  ShowWindow(window, restore ? window_place::ShowCommand(show, placement) : show);
  UpdateWindow(window);
  if (restore && placement.fullscreen) ToggleNativeFullscreen(window);
  // Activation is announced only when it changes: a process that holds the
  // foreground before its window shows may hear nothing, so look once.
  if (ProcessInForeground()) SetHotKeys(window, true);
  if (g_options.mobile) {
    ToggleNativeFullscreen(window);
    g_mobile.Start(window, Log, WebTextFocus);
  }
  StartAntiCheat(window, g_session.get(), kBuild);
  // Finding the route may take a configuration script's time: the window
  // answers meanwhile, and closing it ends the start-up.
  if (!AwaitSiteRoute()) return RunMessageLoop();
  Log(L"baglanti: %ls", g_session->Http().RouteForLog().c_str());
  CheckUpdateOnStartup(window);
  StartMode(window);
  return RunMessageLoop();
}
