// Drives top-level windows of another process from a test script.
//
//   window_tool [--exe PATH] COMMAND ARGS...
//
//   wait TITLE MS       waits until a visible window with that exact title
//                       exists; prints "client WIDTHxHEIGHT"
//   close TITLE         asks the window to close (posts WM_CLOSE); prints
//                       "posted MS", the time of asking in milliseconds
//                       since 1970 on the system clock
//   gone TITLE MS       waits until no visible window with that title is left
//   answers TITLE MS LIMIT
//                       waits for the window like "wait", then for MS
//                       milliseconds sends it WM_NULL every 50 ms; prints
//                       "probes=N worst=MS" and fails when one took longer
//                       than LIMIT milliseconds or the window went away
//   placement TITLE     prints, on one line,
//                         show=N normal=L,T,R,B window=L,T,R,B client=WxH
//                         style=0xXXXXXXXX
//                       (show command and normal position of the window's
//                       placement, its window rectangle in screen
//                       coordinates, its client area and its style)
//   foreground TITLE    brings the window to the foreground
//   hotkey TITLE ID     posts WM_HOTKEY with identifier ID to the window, as
//                       the system does for a registered hot key
//   dpichanged TITLE DPI L T R B
//                       sends WM_DPICHANGED for DPI with that suggested
//                       rectangle, as the system does when the window moves
//                       to a monitor of another scale (the rectangle is put
//                       into the window's process, where the message's
//                       pointer must point)
//   hold TITLE MS       shows a window of its own with that title, asks for
//                       the foreground and keeps the window for MS milliseconds
//   active              prints the title of the foreground window (an empty
//                       line when there is none)
//   screen              prints "screen WIDTHxHEIGHT" of the primary monitor
//   box CAPTION MS      waits until a visible message box (dialog class
//                       "#32770") with that exact caption exists; prints its
//                       message text, the text of its static control 0xFFFF
//   press CAPTION MS    waits for that message box like "box", presses its OK
//                       button and waits until the box is gone
//   click TITLE TEXT    presses the button labelled TEXT in the window TITLE
//   dialogs             prints the caption of every visible dialog, one a line
//   nobox MS            watches for MS milliseconds that no visible dialog
//                       appears; when one does, prints its caption and fails
//
// With --exe only windows of processes started from the executable PATH
// (a Windows path, compared without regard to case) count, so tests can tell
// apart several running copies of one program.
//
// Text is printed as UTF-8; each printed line ends with a single line feed,
// without carriage return, and a message text is printed exactly as the box
// holds it (its own line feeds included), followed by one line feed.
// Exit 0 on success, 1 when the window is not there (or, for "nobox", when a
// dialog appeared), 2 on bad usage.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kDialogClass[] = L"#32770";
const int kMessageTextId = 0xFFFF;
// How long "answers" waits for the window to appear.
const DWORD kAnswersWindowWaitMs = 30000;

std::wstring g_exe_filter;  // empty: windows of every process count

// ---- output -------------------------------------------------------------

void Write(const std::wstring& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &bytes[0], size, nullptr, nullptr);
  WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void WriteLine(const std::wstring& text) { Write(text + L"\n"); }

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[512];
  va_list args;
  va_start(args, format);
  const int n = _vsnwprintf(buffer, sizeof(buffer) / sizeof(buffer[0]) - 1, format, args);
  va_end(args);
  buffer[sizeof(buffer) / sizeof(buffer[0]) - 1] = L'\0';
  return n < 0 ? std::wstring(buffer) : std::wstring(buffer, static_cast<size_t>(n));
}

// ---- finding windows ----------------------------------------------------

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  if (!text.empty()) CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

bool FromFilteredProcess(HWND hwnd) {
  if (g_exe_filter.empty()) return true;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return false;
  wchar_t path[MAX_PATH * 4];
  DWORD size = sizeof(path) / sizeof(path[0]);
  const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
  CloseHandle(process);
  return ok && Lower(std::wstring(path, size)) == g_exe_filter;
}

std::wstring TextOf(HWND hwnd) {
  const int length = GetWindowTextLengthW(hwnd);
  if (length <= 0) return std::wstring();
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  const int got = GetWindowTextW(hwnd, buffer.data(), length + 1);
  return std::wstring(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256];
  const int got = GetClassNameW(hwnd, name, 256);
  return std::wstring(name, got > 0 ? static_cast<size_t>(got) : 0);
}

struct Search {
  const wchar_t* title;  // exact title, or null for any
  bool dialogs_only;     // only windows of the dialog class
  std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND hwnd, LPARAM param) {
  Search* search = reinterpret_cast<Search*>(param);
  if (!IsWindowVisible(hwnd)) return TRUE;
  if (search->dialogs_only && ClassOf(hwnd) != kDialogClass) return TRUE;
  if (search->title && TextOf(hwnd) != search->title) return TRUE;
  if (!FromFilteredProcess(hwnd)) return TRUE;
  search->found.push_back(hwnd);
  return TRUE;
}

std::vector<HWND> FindAll(const wchar_t* title, bool dialogs_only) {
  Search search{title, dialogs_only, {}};
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindVisible(const wchar_t* title, bool dialogs_only = false) {
  const std::vector<HWND> found = FindAll(title, dialogs_only);
  return found.empty() ? nullptr : found.front();
}

// Polls every 50 ms until a matching window is visible or the limit passes.
HWND WaitFor(const wchar_t* title, bool dialogs_only, DWORD limit_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND hwnd = FindVisible(title, dialogs_only)) return hwnd;
    if (GetTickCount() - start >= limit_ms) return nullptr;
    Sleep(50);
  }
}

bool WaitGone(HWND hwnd, DWORD limit_ms) {
  const DWORD start = GetTickCount();
  while (IsWindow(hwnd) && IsWindowVisible(hwnd)) {
    if (GetTickCount() - start >= limit_ms) return false;
    Sleep(50);
  }
  return true;
}

int NoWindow() {
  WriteLine(L"no window");
  return 1;
}

// ---- commands -----------------------------------------------------------

int Wait(const wchar_t* title, DWORD limit_ms) {
  HWND hwnd = WaitFor(title, false, limit_ms);
  if (!hwnd) return NoWindow();
  RECT rc;
  GetClientRect(hwnd, &rc);
  WriteLine(Format(L"client %ldx%ld", rc.right - rc.left, rc.bottom - rc.top));
  return 0;
}

int Answers(const wchar_t* title, DWORD duration_ms, DWORD limit_ms) {
  HWND hwnd = WaitFor(title, false, kAnswersWindowWaitMs);
  if (!hwnd) return NoWindow();
  const DWORD start = GetTickCount();
  DWORD worst = 0;
  int probes = 0;
  bool answered = true;
  while (answered && GetTickCount() - start < duration_ms) {
    const DWORD sent = GetTickCount();
    DWORD_PTR result = 0;
    // Waits past the limit, so that the report says by how much it was missed.
    answered = SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 4 * limit_ms, &result) != 0;
    const DWORD took = GetTickCount() - sent;
    if (took > worst) worst = took;
    ++probes;
    Sleep(50);
  }
  WriteLine(Format(L"probes=%d worst=%lu%ls", probes, worst, answered ? L"" : L" (no answer)"));
  return answered && worst <= limit_ms ? 0 : 1;
}

int Close(const wchar_t* title) {
  // Hidden windows count here as before: closing one is still a request
  // the program should honour.
  HWND hwnd = FindVisible(title);
  if (!hwnd && g_exe_filter.empty()) hwnd = FindWindowW(nullptr, title);
  if (!hwnd) return NoWindow();
  if (!PostMessageW(hwnd, WM_CLOSE, 0, 0)) return 1;
  // When it was asked, for timing the close from a script.
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const unsigned long long ticks =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  WriteLine(Format(L"posted %llu", (ticks - 116444736000000000ULL) / 10000ULL));
  return 0;
}

int Gone(const wchar_t* title, DWORD limit_ms) {
  const DWORD start = GetTickCount();
  while (FindVisible(title)) {
    if (GetTickCount() - start >= limit_ms) {
      WriteLine(L"still there");
      return 1;
    }
    Sleep(50);
  }
  return 0;
}

int Placement(const wchar_t* title) {
  HWND hwnd = FindVisible(title);
  if (!hwnd) return NoWindow();
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  RECT window = {};
  RECT client = {};
  if (!GetWindowPlacement(hwnd, &placement) || !GetWindowRect(hwnd, &window) ||
      !GetClientRect(hwnd, &client)) {
    WriteLine(L"no placement");
    return 1;
  }
  const unsigned long style = static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_STYLE));
  const RECT& normal = placement.rcNormalPosition;
  WriteLine(
      Format(L"show=%u normal=%ld,%ld,%ld,%ld window=%ld,%ld,%ld,%ld client=%ldx%ld "
             L"style=0x%08lx",
             placement.showCmd, normal.left, normal.top, normal.right, normal.bottom, window.left,
             window.top, window.right, window.bottom, client.right - client.left,
             client.bottom - client.top, style));
  return 0;
}

int Foreground(const wchar_t* title) {
  HWND hwnd = FindVisible(title);
  if (!hwnd) return NoWindow();
  return SetForegroundWindow(hwnd) ? 0 : 1;
}

int HotKey(const wchar_t* title, const wchar_t* id) {
  HWND hwnd = FindVisible(title);
  if (!hwnd) return NoWindow();
  return PostMessageW(hwnd, WM_HOTKEY, static_cast<WPARAM>(_wtoi(id)), 0) ? 0 : 1;
}

int DpiChanged(const wchar_t* title, const wchar_t* dpi_text, wchar_t** args) {
  HWND hwnd = FindVisible(title);
  if (!hwnd) return NoWindow();
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return 1;
  const RECT suggested = {_wtoi(args[0]), _wtoi(args[1]), _wtoi(args[2]), _wtoi(args[3])};
  void* remote =
      VirtualAllocEx(process, nullptr, sizeof(RECT), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  int rc = 1;
  if (remote && WriteProcessMemory(process, remote, &suggested, sizeof(suggested), nullptr)) {
    const WORD dpi = static_cast<WORD>(_wtoi(dpi_text));
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutW(hwnd, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                            reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG, 5000, &ignored)) {
      rc = 0;
    }
  }
  if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return rc;
}

int Hold(const wchar_t* title, DWORD limit_ms) {
  const wchar_t kClass[] = L"WindowToolHolder";
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = DefWindowProcW;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = kClass;
  RegisterClassW(&window_class);
  HWND hwnd = CreateWindowExW(0, kClass, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 300, 200,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!hwnd) return 1;
  SetForegroundWindow(hwnd);
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < limit_ms) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(10);
  }
  DestroyWindow(hwnd);
  return 0;
}

int Active() {
  HWND hwnd = GetForegroundWindow();
  WriteLine(hwnd ? TextOf(hwnd) : std::wstring());
  return 0;
}

int Screen() {
  WriteLine(Format(L"screen %dx%d", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)));
  return 0;
}

std::wstring MessageText(HWND box) {
  HWND text = GetDlgItem(box, kMessageTextId);
  if (!text) return std::wstring();
  std::wstring value = TextOf(text);
  if (!value.empty()) return value;
  // Fall back to asking the control itself, bounded so a hung owner
  // cannot hold us.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(text, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length) ||
      length == 0) {
    return std::wstring();
  }
  std::vector<wchar_t> buffer(length + 1);
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(text, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                           SMTO_ABORTIFHUNG, 2000, &got)) {
    return std::wstring();
  }
  return std::wstring(buffer.data(), got <= length ? got : length);
}

int Box(const wchar_t* caption, DWORD limit_ms) {
  HWND box = WaitFor(caption, true, limit_ms);
  if (!box) return NoWindow();
  WriteLine(MessageText(box));
  return 0;
}

HWND OkButton(HWND box) {
  if (HWND button = GetDlgItem(box, IDOK)) return button;
  // A box with only an OK button may give it the identifier of Cancel.
  if (HWND button = GetDlgItem(box, IDCANCEL)) return button;
  return nullptr;
}

int Press(const wchar_t* caption, DWORD limit_ms) {
  HWND box = WaitFor(caption, true, limit_ms);
  if (!box) return NoWindow();
  HWND button = OkButton(box);
  if (button) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    if (WaitGone(box, 2000)) return 0;
  }
  const int id = button ? GetDlgCtrlID(button) : IDOK;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  if (WaitGone(box, 3000)) return 0;
  WriteLine(L"box still open");
  return 1;
}

// Presses the button labelled `text` in the window `title`.
int Click(const wchar_t* title, const wchar_t* text) {
  HWND window = WaitFor(title, false, 5000);
  HWND button = window ? FindWindowExW(window, nullptr, L"BUTTON", text) : nullptr;
  if (!button) return NoWindow();
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
  return 0;
}

int Dialogs() {
  for (HWND hwnd : FindAll(nullptr, true)) WriteLine(TextOf(hwnd));
  return 0;
}

int NoBox(DWORD limit_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND hwnd = FindVisible(nullptr, true)) {
      WriteLine(TextOf(hwnd));
      return 1;
    }
    if (GetTickCount() - start >= limit_ms) return 0;
    Sleep(50);
  }
}

DWORD Milliseconds(const wchar_t* text) {
  const int value = _wtoi(text);
  return value > 0 ? static_cast<DWORD>(value) : 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: window_tool [--exe PATH] COMMAND ARGS...\n"
               "  wait TITLE MS | close TITLE | gone TITLE MS | placement TITLE |\n"
               "  foreground TITLE | hotkey TITLE ID | dpichanged TITLE DPI L T R B |\n"
               "  hold TITLE MS | active | screen |\n"
               "  box CAPTION MS | press CAPTION MS |\n"
               "  dialogs | nobox MS\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  if (argc >= 3 && std::wcscmp(argv[1], L"--exe") == 0) {
    g_exe_filter = Lower(argv[2]);
    if (g_exe_filter.empty()) return Usage();
    first = 3;
  }
  if (argc <= first) return Usage();
  const std::wstring command = argv[first];
  wchar_t** args = argv + first + 1;
  const int count = argc - first - 1;

  if (command == L"wait" && count == 2) return Wait(args[0], Milliseconds(args[1]));
  if (command == L"close" && count == 1) return Close(args[0]);
  if (command == L"gone" && count == 2) return Gone(args[0], Milliseconds(args[1]));
  if (command == L"answers" && count == 3) {
    return Answers(args[0], Milliseconds(args[1]), Milliseconds(args[2]));
  }
  if (command == L"placement" && count == 1) return Placement(args[0]);
  if (command == L"foreground" && count == 1) return Foreground(args[0]);
  if (command == L"hotkey" && count == 2) return HotKey(args[0], args[1]);
  if (command == L"dpichanged" && count == 6) return DpiChanged(args[0], args[1], args + 2);
  if (command == L"hold" && count == 2) return Hold(args[0], Milliseconds(args[1]));
  if (command == L"active" && count == 0) return Active();
  if (command == L"screen" && count == 0) return Screen();
  if (command == L"box" && count == 2) return Box(args[0], Milliseconds(args[1]));
  if (command == L"press" && count == 2) return Press(args[0], Milliseconds(args[1]));
  if (command == L"click" && count == 2) return Click(args[0], args[1]);
  if (command == L"dialogs" && count == 0) return Dialogs();
  if (command == L"nobox" && count == 1) return NoBox(Milliseconds(args[0]));
  return Usage();
}
