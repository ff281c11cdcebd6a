// The client shell: start-up, the main window with its handlers and
// shutdown, full screen and reload, the screenshot of direct-movie mode, the
// update notice and the launch of the game movie. The game session itself
// (hello, play, beats, goodbye) lives in session.cpp; the shell drives it and
// shows what it reports.
//
// Reading order: constants and the start-up steps' scoped undos; the Shell,
// which owns the window and all the shell's state; the session's glue; the
// movie launch; the window's handlers; start-up and wWinMain.
#include <windows.h>

#include <ole2.h>
#include <shellapi.h>

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
#include "app/process_steps.h"
#include "platform/modules.h"
#include "platform/scoped_win.h"
#include "app/session.h"
#include "core/site_address.h"
#include "platform/system_libraries.h"
#include "app/ui_wait.h"
#include "app/update.h"
#include "app/update_window.h"
#include "app/window_place.h"

// Ask hybrid-graphics drivers to run the client on the discrete GPU.
extern "C" {
__declspec(dllexport) DWORD NvOptimusEnablement = 1;
__declspec(dllexport) DWORD AmdPowerXpressRequestHighPerformance = 1;
}

// ---------------------------------------------------------------------------
// Constants and globals.

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

WINDOWPLACEMENT EmptyPlacement() {
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  return placement;
}

// Marks a reload or a session start as running for its scope: their message
// boxes run a message loop of their own, which would otherwise deliver an
// F5 into the middle of them.
class BusyScope {
 public:
  explicit BusyScope(int* depth) : depth_(depth) { ++*depth_; }
  ~BusyScope() { --*depth_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int* const depth_;
};

void SessionBox(HWND window, const std::wstring& text, UINT icon) {
  MessageBoxW(window, text.c_str(), L"Tavrensil", MB_OK | icon);
}

// Logs and shows why the control could not be started.
void ShowFlashError(HWND window, const std::wstring& text) {
  Log(L"flash olusturulamadi: %ls", text.c_str());
  MessageBoxW(window, text.c_str(), L"Tavrensil Flash Hatası", MB_OK | MB_ICONERROR);
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

// The client's main window and everything the shell keeps for it: the
// options, the game session, the browser and media control hosts, full
// screen, the busy state, the mobile bridge and the media-thread
// registration. wWinMain makes one and runs it; the window procedure finds
// it through the window's user data.
class Shell {
 public:
  explicit Shell(const ClientOptions& options)
      : options_(options), session_(new GameSession(options.site)) {}
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  GameSession& session() { return *session_; }

  // Creates and shows the window, starts the mode the options ask for and
  // runs the message loop until the window is gone; the exit code.
  int Run(HINSTANCE instance, int show);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  HWND CreateMainWindow(HINSTANCE instance, const window_size::Placement* saved);
  void Show(int show, bool restore, const window_size::Placement& placement);
  int RunMessageLoop();

  void StartMode();
  bool AwaitSiteRoute();
  void CheckUpdateOnStartup(bool may_install = true);
  bool InstallUpdate(const UpdateAnswer& answer, UpdateChoice* choice);
  PlayNavigationCallback MakePlayCallback();
  void OnPlayNavigated(const std::wstring& url);
  bool LaunchFlash(const std::wstring& movie, const std::wstring& flashvars);

  void OnSize(LPARAM lparam);
  void OnTimer(WPARAM id);
  void OnHotKey(WPARAM id);
  void OnDpiChanged(LPARAM lparam);
  void OnDestroy();
  void TakeScreenshotAndClose();
  void ToggleNativeFullscreen();
  void ReloadCurrent();
  bool WebTextFocus() { return game_running_ ? false : browser_.HasTextFocus(); }

  ClientOptions options_;
  std::unique_ptr<GameSession> session_;  // it owns the HTTP client
  BrowserHost browser_;
  FlashHost flash_;
  HWND window_ = nullptr;
  bool game_running_ = false;
  bool native_fullscreen_ = false;
  WINDOWPLACEMENT saved_placement_ = EmptyPlacement();
  std::wstring last_movie_;
  std::wstring last_flashvars_;
  int busy_depth_ = 0;     // reloads and session starts running
  mobile::Bridge mobile_;  // in mobile mode only
  std::unique_ptr<ScopedMmcss> media_thread_;
};

// ---------------------------------------------------------------------------
// The session's glue: what the session reports, shown to the player.

void Shell::OnPlayNavigated(const std::wstring& url) {
  const BusyScope busy(&busy_depth_);
  if (!session_->Take(url)) {
    SessionBox(window_, L"Oturum anahtarı alınamadı, lütfen tekrar giriş yapın.", MB_ICONWARNING);
    return;
  }
  browser_.Destroy();
  // Hello and play need the route; the window answers while it is found.
  if (WaitForRoute(session_->Http()) == UiWaitResult::kClosed) return;
  const SessionOpening opening = session_->Open();
  if (!opening.ok) {
    // The update check ends the process when it finds an update; when it
    // finds none, the player must still learn why no game starts.
    if (opening.check_update) CheckUpdateOnStartup(false);
    SessionBox(window_, opening.error, MB_ICONERROR);
    return;
  }
  const std::string movie =
      options_.mobile ? MobileMovie(opening.movie, options_.loading) : opening.movie;
  if (LaunchFlash(Utf8ToWide(movie), Utf8ToWide(opening.flashvars))) session_->StartHeartbeat();
}

PlayNavigationCallback Shell::MakePlayCallback() {
  return [this](const std::wstring& url) { OnPlayNavigated(url); };
}

// Asks the server whether this build must be updated; if so installs the
// update the answer offers (only when `may_install`: at start, never once
// the player has picked a game), or tells the player and opens the
// download page, and ends the process with code 0.
void Shell::CheckUpdateOnStartup(bool may_install) {
  UpdateAnswer answer;
  if (!session_->CheckUpdate(&answer) || !answer.must_update) return;
  UpdateChoice choice = UpdateChoice::kPage;
  if (may_install && InstallUpdate(answer, &choice)) {
    if (choice != UpdateChoice::kPage) ExitProcess(0);
  } else {
    MessageBoxW(window_, UpdateNoticeText(answer.latest_build).c_str(),
                L"Tavrensil Güncelleme Gereklidir", MB_OK | MB_ICONINFORMATION);
  }
  // The shell opens whatever it is given; the server's text must not be able
  // to start a local program, so only web addresses go to the browser.
  if (IsDownloadAddress(answer.download_url)) {
    ShellExecuteW(nullptr, L"open", answer.download_url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  }
  ExitProcess(0);
}

// Installs the update the answer offers in the client's own window, when
// this copy may: false, with the reason in the log, when it leaves the
// player today's notice and page instead.
bool Shell::InstallUpdate(const UpdateAnswer& answer, UpdateChoice* choice) {
  const std::wstring root = UpdatesFolder(true);
  const wchar_t* why_not = nullptr;
  if (!answer.offered) {
    Log(L"guncelleme: kurulum dosyasi sunulmadi (%hs)", answer.not_offered.c_str());
    return false;
  } else if (TrustedSignerKeys().empty()) {
    why_not = L"bu surumde imzalayan anahtari yok";
  } else if (!IsInstalledCopy()) {
    why_not = L"kurulu kopya degil";
  } else if (root.empty()) {
    why_not = L"yerel uygulama klasoru yok";
  } else if (!MayTryUpdate(LoadUpdateAttempts(root), answer.installer.build)) {
    why_not = L"bu surum icin deneme hakki bitti";
  }
  if (why_not) {
    Log(L"guncelleme: kendiliginden kurulmuyor: %ls", why_not);
    return false;
  }
  Updater updater(session_->Http(), answer.installer, root);
  if (!options_.update_failed.empty()) {
    updater.Refuse(UpdateFailure::kInstaller, options_.update_failed == L"wait"
                                                  ? L"kurulum (eski istemci kapanmadi)"
                                                  : L"kurulum");
  }
  const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window_, GWLP_HINSTANCE));
  *choice = RunUpdateWindow(instance, window_, updater);
  return true;
}

// ---------------------------------------------------------------------------
// The game movie.

// Writes the media control file if needed, creates the control in the
// window and gives it its properties, "Movie" last. True when the control
// was created; a failure is logged and shown to the player.
bool Shell::LaunchFlash(const std::wstring& movie, const std::wstring& flashvars) {
  std::wstring error;
  const std::wstring path = flash_embed::ChooseOcx(kOcxName, ModuleDir(), &error);
  if (!error.empty()) Log(L"gomulu flash: %ls", error.c_str());
  if (path.empty()) {
    // Not our control: shown as a file the system would not load.
    wchar_t text[64] = {};
    _snwprintf(text, 63, L"Flash.ocx yuklenemedi (0x%08lX)",
               static_cast<unsigned long>(HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)));
    ShowFlashError(window_, text);
    return false;
  }
  Log(L"flash ocx: %ls", path.c_str());
  if (!flash_.Create(window_, path)) {
    ShowFlashError(window_, flash_.last_error);
    return false;
  }
  Log(L"flash olusturuldu (wmode=%ls)", options_.wmode.c_str());
  struct Property {
    const wchar_t* name;
    std::wstring value;
    bool set;
  };
  const Property properties[] = {
      {L"WMode", options_.wmode, true},
      {L"Quality2", L"high", true},
      {L"AllowScriptAccess", L"always", true},
      {L"AllowFullScreen", L"true", true},
      {L"AllowFullScreenInteractive", L"true", true},
      {L"FlashVars", flashvars, !flashvars.empty()},
      {L"Movie", movie, !movie.empty()},  // last: the control starts loading on it
  };
  for (const Property& p : properties) {
    if (!p.set) continue;
    const bool ok = flash_.SetProperty(p.name, p.value);
    Log(L"set %ls = %ls -> %ls", p.name, p.value.c_str(), ok ? L"ok" : flash_.last_error.c_str());
  }
  last_movie_ = movie;
  last_flashvars_ = flashvars;
  game_running_ = true;
  return true;
}

// ---------------------------------------------------------------------------
// The window: its handlers, full screen, reload and the screenshot.

LRESULT CALLBACK Shell::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    Shell* shell = static_cast<Shell*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    shell->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(shell));
  }
  Shell* shell = reinterpret_cast<Shell*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  // Messages before WM_NCCREATE (WM_GETMINMAXINFO) find no shell yet.
  return shell ? shell->Handle(message, wparam, lparam)
               : DefWindowProcW(window, message, wparam, lparam);
}

LRESULT Shell::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      OnSize(lparam);
      return 0;
    case WM_TIMER:
      OnTimer(wparam);
      return 0;
    case WM_HOTKEY:
      OnHotKey(wparam);
      return 0;
    case WM_ACTIVATEAPP:
      // The process's activation, not the window's: moving between the main
      // window and the media control's full-screen window keeps the keys.
      SetHotKeys(window_, wparam != FALSE);
      return 0;
    case WM_DPICHANGED:
      OnDpiChanged(lparam);
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      return DefWindowProcW(window_, message, wparam, lparam);
  }
}

void Shell::OnSize(LPARAM lparam) {
  const int width = LOWORD(lparam);
  const int height = HIWORD(lparam);
  if (game_running_) {
    flash_.Resize(width, height);
  } else {
    browser_.Resize(width, height);
  }
}

void Shell::TakeScreenshotAndClose() {
  KillTimer(window_, kTimerScreenshot);
  const long frame = flash_.GetLong(L"FrameNum");
  const long total = flash_.GetLong(L"TotalFrames");
  const long ready = flash_.GetLong(L"ReadyState");
  Log(L"ReadyState=%ld TotalFrames=%ld FrameNum=%ld", ready, total, frame);
  CaptureClientArea(window_, options_.shot);
  DestroyWindow(window_);
}

void Shell::OnTimer(WPARAM id) {
  if (id == mobile::kTimerId) {
    mobile_.OnTimer();
  } else if (id == kTimerScreenshot) {
    TakeScreenshotAndClose();
  }
}

void Shell::OnHotKey(WPARAM id) {
  if (id == kHotKeyReload) {
    ReloadCurrent();
  } else if (id == kHotKeyFullscreen) {
    ToggleNativeFullscreen();
  }
}

// The suggested rectangle (or, in full screen, the new monitor) and the
// active control resized to the client area, even when its size stayed.
void Shell::OnDpiChanged(LPARAM lparam) {
  if (!lparam) return;
  window_place::FollowDpiChange(window_, native_fullscreen_,
                                *reinterpret_cast<const RECT*>(lparam));
  RECT client = {};
  GetClientRect(window_, &client);
  OnSize(MAKELPARAM(client.right, client.bottom));
}

void Shell::OnDestroy() {
  // Mobile mode always starts in full screen and keeps no placement.
  if (!options_.mobile) {
    const DWORD error = window_place::SavePlacement(window_place::PlacementPath(ModuleDir()),
                                                    window_, native_fullscreen_, saved_placement_);
    if (error) Log(L"pencere yerlesimi yazilamadi (hata=%lu)", error);
  }
  SetHotKeys(window_, false);
  if (options_.mobile) mobile_.Stop(window_);
  StopAntiCheat();
  session_->Close();
  flash_.Destroy();
  browser_.Destroy();
  PostQuitMessage(0);
}

// F11: the borderless full screen on the window's monitor, and back.
void Shell::ToggleNativeFullscreen() {
  const LONG style = GetWindowLongW(window_, GWL_STYLE);
  if (native_fullscreen_) {
    SetWindowLongW(window_, GWL_STYLE, style | WS_OVERLAPPEDWINDOW);
    SetWindowPlacement(window_, &saved_placement_);
    SetWindowPos(window_, nullptr, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
    native_fullscreen_ = false;
  } else {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (GetWindowPlacement(window_, &saved_placement_) &&
        GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
      const RECT& r = monitor.rcMonitor;
      SetWindowLongW(window_, GWL_STYLE, style & ~WS_OVERLAPPEDWINDOW);
      SetWindowPos(window_, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                   SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
      native_fullscreen_ = true;
    }
  }
  Log(L"F11: tam_ekran=%d", native_fullscreen_ ? 1 : 0);
}

// F5: restarts the game movie while it runs, else reloads the start page.
void Shell::ReloadCurrent() {
  if (busy_depth_ > 0) {  // F5 again while a reload's box is open
    Log(L"F5: yok sayildi (istemci mesgul)");
    return;
  }
  const BusyScope busy(&busy_depth_);
  Log(L"F5: yenileniyor (oyun_icinde=%d)", game_running_ ? 1 : 0);
  if (game_running_) {
    // The heartbeat goes on as it was: the beat in flight, if any, brings
    // the next challenge, and the next beat comes when it is due.
    flash_.Destroy();
    LaunchFlash(last_movie_, last_flashvars_);
    session_->StartHeartbeat();
    return;
  }
  browser_.Destroy();
  browser_.Create(window_, options_.site + L"/?client=1", MakePlayCallback());
}

// ---------------------------------------------------------------------------
// Start-up.

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

ClientOptions ReadCommandLine() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) argc = 0;
  const ClientOptions options = ParseArguments(argc, argv);
  if (argv) LocalFree(argv);
  return options;
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

void RegisterWindowClass(HINSTANCE instance, WNDPROC procedure) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = procedure;
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
HWND Shell::CreateMainWindow(HINSTANCE instance, const window_size::Placement* saved) {
  RegisterWindowClass(instance, WindowProc);
  RECT rect = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  HWND window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, rect.right - rect.left, rect.bottom - rect.top,
                                nullptr, nullptr, instance, this);
  if (!window) return nullptr;
  const int dpi = window_place::Place(window, saved);
  if (dpi != window_size::kBaseDpi) Log(L"pencere: dpi=%d", dpi);
  return window;
}

void Shell::StartMode() {
  if (!options_.movie.empty()) {
    LaunchFlash(options_.movie, options_.flashvars);
    if (!options_.shot.empty()) {
      SetTimer(window_, kTimerScreenshot, static_cast<UINT>(options_.after), nullptr);
    }
    return;
  }
  if (!browser_.Create(window_, options_.site + L"/?client=1", MakePlayCallback())) {
    MessageBoxW(window_, L"Web tarayıcı bileşeni başlatılamadı.", L"Tavrensil",
                MB_OK | MB_ICONERROR);
  }
}

// Waits for the route to the site with the window answering (a nested F5
// finds the client busy); false when the window was closed meanwhile.
bool Shell::AwaitSiteRoute() {
  const BusyScope busy(&busy_depth_);
  return WaitForRoute(session_->Http()) != UiWaitResult::kClosed;
}

// A --site that the client cannot read ends the start before anything is
// sent: an address read one way here and another way by the browser could
// send the session to a host the player never sees. One that it reads is
// written out as read (scheme and all), so the browser, the HTTP client and
// the cookie store all take that reading, never the raw text.
bool CheckSiteOption(ClientOptions* options) {
  SiteAddress site;
  if (ReadSiteAddress(options->site, &site)) {
    options->site = SiteText(site);
    return true;
  }
  const std::wstring text = L"Geçersiz site adresi: " + options->site;
  MessageBoxW(nullptr, text.c_str(), L"Tavrensil", MB_OK | MB_ICONERROR);
  return false;
}

int Shell::RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!game_running_ && browser_.TranslateAcceleratorW(&msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

// Shows the window as the player left it, or as `show` says on a first
// start; mobile mode goes to full screen and starts its bridge.
void Shell::Show(int show, bool restore, const window_size::Placement& placement) {
  ShowWindow(window_, restore ? window_place::ShowCommand(show, placement) : show);
  UpdateWindow(window_);
  if (restore && placement.fullscreen) ToggleNativeFullscreen();
  // Activation is announced only when it changes: a process that holds the
  // foreground before its window shows may hear nothing, so look once.
  if (ProcessInForeground()) SetHotKeys(window_, true);
  if (options_.mobile) {
    ToggleNativeFullscreen();
    mobile_.Start(window_, Log, [this] { return WebTextFocus(); });
  }
}

int Shell::Run(HINSTANCE instance, int show) {
  window_size::Placement placement;
  const bool restore =
      !options_.mobile &&
      window_place::LoadPlacement(window_place::PlacementPath(ModuleDir()), &placement);
  if (!CreateMainWindow(instance, restore ? &placement : nullptr)) return 1;
  // F5 and F11 are registered when the process becomes active (WM_ACTIVATEAPP).
  media_thread_.reset(new ScopedMmcss);
  Log(L"MMCSS 'Games' kaydi: %ls", media_thread_->registered() ? L"ok" : L"basarisiz");
  Show(show, restore, placement);
  StartAntiCheat(window_, session_.get(), kBuild);
  // Finding the route may take a configuration script's time: the window
  // answers meanwhile, and closing it ends the start-up.
  if (!AwaitSiteRoute()) return RunMessageLoop();
  Log(L"baglanti: %ls", session_->Http().RouteForLog().c_str());
  CheckUpdateOnStartup();
  StartMode();
  return RunMessageLoop();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  LimitLibrarySearch();
  SetDpiAwareness();
  BrowserHost::EnsureBrowserEmulation();
  ClientOptions options = ReadCommandLine();
  const std::wstring folder = ModuleDir();
  KeepLastLog(folder);
  OpenLog(folder + L"\\client.log");
  crash_report::Install(folder, Log);
  flash_embed::RemoveStaleCopies(kOcxName);
  RemoveOldAttempts(UpdatesFolder(false));
  Log(L"Tavrensil Client baslatildi (Build %d)", kBuild);
  if (!CheckSiteOption(&options)) return kExitBadOption;
  const ScopedTimerResolution timer_resolution;
  RaisePriority();
  Shell shell(options);
  if (!AntiCheatStartupCheck(&shell.session().Http(), kBuild)) return 1;
  // OLE ends before the shell's hosts go, as it did when they outlived
  // wWinMain; OnDestroy has let go of their controls by then.
  const ScopedOle ole;
  if (!ole.ok()) return 1;
  return shell.Run(instance, show);
}
