// standin_check: drives the client's own control host (FlashHost, compiled
// in from client/) against the stand-in media control, and checks what the
// control does in return.
//
//   standin_check DLL [--movie URL --frames N --rate R] [--missing-url URL]
//                     [--hold MS]
//
// DLL may be a Unix path (it is then read as Z:\...). Without --movie the
// main run plays a movie file that the check writes itself. --missing-url
// names a URL that answers 404. --hold keeps the window with the playing
// movie on screen for MS milliseconds (for a screenshot) before teardown.
// Prints "NAME: ok" or "NAME: FAIL: reason" lines and ends with "N passed,
// M failed"; the exit code is 0 only when nothing failed.
#include <winsock2.h>
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "app/flash_host.h"
#include "platform/scoped_win.h"

namespace {

// The class the stand-in serves and the interface its library describes
// (the host has its own copies; these are for the checks it cannot make).
const CLSID kClsidShockwaveFlash = {
    0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID kIidShockwaveFlash = {
    0xD27CDB6C, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// ---------------------------------------------------------------------------
// Reporting

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* name, const char* format = nullptr, ...)
    __attribute__((format(printf, 3, 4)));

// Lines as every runner of ours writes them: "NAME: ok" or "NAME: FAIL:
// reason", then Summary's closing line.
void Check(bool ok, const char* name, const char* format, ...) {
  if (ok) {
    ++g_passed;
    printf("%s: ok\n", name);
  } else {
    ++g_failed;
    printf("%s: FAIL", name);
    if (format) {
      printf(": ");
      va_list args;
      va_start(args, format);
      vprintf(format, args);
      va_end(args);
    }
    printf("\n");
  }
  fflush(stdout);
}

// "N passed, M failed"; the exit code, 1 when a check failed.
int Summary() {
  printf("%d passed, %d failed\n", g_passed, g_failed);
  fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

void Note(const char* format, ...) {
  printf("# ");
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

// A Unix path (as CMake hands it over) becomes a path on Wine's Z: drive.
std::wstring WindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring out = L"Z:" + path;
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
  }
  return out;
}

// ---------------------------------------------------------------------------
// Messages and waiting

void PumpOnce() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

template <typename Predicate>
bool WaitFor(Predicate done, DWORD timeout_ms) {
  ULONGLONG start = GetTickCount64();
  for (;;) {
    PumpOnce();
    if (done()) return true;
    if (GetTickCount64() - start > timeout_ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

void Pump(DWORD ms) {
  WaitFor([] { return false; }, ms);
}

// ---------------------------------------------------------------------------
// Files

std::string ReadFileText(const std::wstring& path) {
  std::string text;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The lines of `expected` appear in `lines` in this order (others may lie
// between). An expected line ending in '*' matches any line with that
// prefix. On failure `missing` names the first one not found.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected,
             std::string* missing) {
  size_t at = 0;
  for (const std::string& want : expected) {
    bool prefix = !want.empty() && want.back() == '*';
    std::string stem = prefix ? want.substr(0, want.size() - 1) : want;
    bool found = false;
    while (at < lines.size()) {
      const std::string& line = lines[at++];
      if (prefix ? StartsWith(line, stem) : line == stem) {
        found = true;
        break;
      }
    }
    if (!found) {
      *missing = want;
      return false;
    }
  }
  return true;
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const std::string& line : lines) {
    if (StartsWith(line, prefix)) ++n;
  }
  return n;
}

// A minimal uncompressed movie: header, frame rectangle (bit field), 8.8
// rate, frame count, then one ShowFrame tag per frame and an End tag.
std::string BuildMovie(int version, long xmin, long xmax, long ymin, long ymax, double rate,
                       int frames) {
  long values[4] = {xmin, xmax, ymin, ymax};
  int nbits = 1;
  for (long v : values) {
    long magnitude = v < 0 ? -v : v;
    int bits = 1;
    while ((1L << (bits - 1)) <= magnitude) ++bits;
    if (bits > nbits) nbits = bits;
  }
  std::vector<int> bits;
  for (int i = 4; i >= 0; --i) bits.push_back((nbits >> i) & 1);
  for (long v : values) {
    unsigned long u = static_cast<unsigned long>(v) & ((1ul << nbits) - 1);
    for (int i = nbits - 1; i >= 0; --i) bits.push_back(static_cast<int>((u >> i) & 1));
  }
  while (bits.size() % 8) bits.push_back(0);
  std::string body;
  for (size_t i = 0; i < bits.size(); i += 8) {
    int byte = 0;
    for (int j = 0; j < 8; ++j) byte = (byte << 1) | bits[i + j];
    body += static_cast<char>(byte);
  }
  unsigned fixed = static_cast<unsigned>(rate * 256.0 + 0.5);
  body += static_cast<char>(fixed & 0xFF);
  body += static_cast<char>((fixed >> 8) & 0xFF);
  body += static_cast<char>(frames & 0xFF);
  body += static_cast<char>((frames >> 8) & 0xFF);
  for (int i = 0; i < frames; ++i) body += std::string("\x40\x00", 2);  // ShowFrame
  body += std::string("\x00\x00", 2);                                   // End
  unsigned long length = static_cast<unsigned long>(8 + body.size());
  std::string file = "FWS";
  file += static_cast<char>(version);
  for (int i = 0; i < 4; ++i) file += static_cast<char>((length >> (8 * i)) & 0xFF);
  return file + body;
}

// A loopback port where nothing listens (bound, then closed at once).
int ClosedPort() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 9;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int port = 9;
  if (s != INVALID_SOCKET) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int size = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port = ntohs(address.sin_port);
    }
    closesocket(s);
  }
  WSACleanup();
  return port;
}

// ---------------------------------------------------------------------------
// What the host does not read itself, through its public members.

// A text property through the host's description of the control, or
// "<error>" when it cannot be read as text.
std::wstring ReadText(const FlashHost& host, const wchar_t* name) {
  std::wstring text = L"<error>";
  if (!host.flash || !host.type_info) return text;
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  MEMBERID id = MEMBERID_NIL;
  if (FAILED(host.type_info->GetIDsOfNames(names, 1, &id))) return text;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  ScopedVariant result;
  if (SUCCEEDED(host.type_info->Invoke(host.flash, id, DISPATCH_PROPERTYGET, &none, result.get(),
                                       nullptr, nullptr)) &&
      V_VT(result.get()) == VT_BSTR) {
    BSTR value = V_BSTR(result.get());
    text.assign(value ? value : L"", SysStringLen(value));
  }
  return text;
}

// Whether the library the host's description comes from describes the
// interface as a dual dispatch one (the form the host looks behind).
bool DescribedAsDual(ITypeInfo* kept) {
  ITypeLib* library = nullptr;
  UINT index = 0;
  if (!kept || FAILED(kept->GetContainingTypeLib(&library, &index))) return false;
  ITypeInfo* info = nullptr;
  const HRESULT hr = library->GetTypeInfoOfGuid(kIidShockwaveFlash, &info);
  library->Release();
  if (FAILED(hr) || !info) return false;
  TYPEATTR* attributes = nullptr;
  bool dual = false;
  if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
    dual = attributes->typekind == TKIND_DISPATCH && (attributes->wTypeFlags & TYPEFLAG_FDUAL);
    info->ReleaseTypeAttr(attributes);
  }
  info->Release();
  return dual;
}

// "(0x8007000E)": how the host's failure texts carry a code.
std::wstring CodeText(HRESULT code) {
  wchar_t text[16];
  swprintf(text, ARRAYSIZE(text), L"(0x%08lX)", static_cast<unsigned long>(code));
  return text;
}

// The host's last failure carries `code`: the step failed with it.
bool FailedWith(const FlashHost& host, HRESULT code) {
  const std::wstring tail = CodeText(code);
  const std::wstring& text = host.last_error;
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// ---------------------------------------------------------------------------
// The test window

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) return 0;  // closed by the check only
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND CreateHostWindow(const wchar_t* title) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HostWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"StandinCheckHost";
    RegisterClassExW(&wc);
    registered = true;
  }
  RECT r = {0, 0, 1000, 600};
  DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  AdjustWindowRect(&r, style, FALSE);
  HWND window =
      CreateWindowExW(0, L"StandinCheckHost", title, style, 0, 0, r.right - r.left,
                      r.bottom - r.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window) {
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    SetForegroundWindow(window);
  }
  return window;
}

HWND FindControlWindow(HWND parent, std::wstring* class_name) {
  for (HWND child = FindWindowExW(parent, nullptr, nullptr, nullptr); child;
       child = FindWindowExW(parent, child, nullptr, nullptr)) {
    wchar_t name[64] = {};
    GetClassNameW(child, name, ARRAYSIZE(name));
    if (wcsncmp(name, L"MacromediaFlash", 15) == 0) {
      if (class_name) *class_name = name;
      return child;
    }
  }
  return nullptr;
}

RECT ChildRect(HWND parent, HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// ---------------------------------------------------------------------------
// The interface's layout as the type library must describe it.

struct Member {
  const wchar_t* name;
  INVOKEKIND kind;
};

const Member kLayout[] = {
    {L"ReadyState", INVOKE_PROPERTYGET},
    {L"TotalFrames", INVOKE_PROPERTYGET},
    {L"FrameNum", INVOKE_PROPERTYGET},
    {L"WMode", INVOKE_PROPERTYGET},
    {L"WMode", INVOKE_PROPERTYPUT},
    {L"Quality2", INVOKE_PROPERTYGET},
    {L"Quality2", INVOKE_PROPERTYPUT},
    {L"AllowScriptAccess", INVOKE_PROPERTYGET},
    {L"AllowScriptAccess", INVOKE_PROPERTYPUT},
    {L"AllowFullScreen", INVOKE_PROPERTYGET},
    {L"AllowFullScreen", INVOKE_PROPERTYPUT},
    {L"AllowFullScreenInteractive", INVOKE_PROPERTYGET},
    {L"AllowFullScreenInteractive", INVOKE_PROPERTYPUT},
    {L"FlashVars", INVOKE_PROPERTYGET},
    {L"FlashVars", INVOKE_PROPERTYPUT},
    {L"Movie", INVOKE_PROPERTYGET},
    {L"Movie", INVOKE_PROPERTYPUT},
    {L"Quality", INVOKE_PROPERTYGET},
    {L"Quality", INVOKE_PROPERTYPUT},
    {L"ScaleMode", INVOKE_PROPERTYGET},
    {L"ScaleMode", INVOKE_PROPERTYPUT},
    {L"AllowNetworking", INVOKE_PROPERTYGET},
    {L"AllowNetworking", INVOKE_PROPERTYPUT},
};

void CheckLayout(ITypeInfo* info) {
  TYPEATTR* attributes = nullptr;
  if (FAILED(info->GetTypeAttr(&attributes))) {
    Check(false, "layout: type attributes");
    return;
  }
  const UINT expected = ARRAYSIZE(kLayout);
  Check(attributes->typekind == TKIND_INTERFACE, "layout: kept description is the vtable interface",
        "kind %d", attributes->typekind);
  Check(attributes->cFuncs == expected, "layout: member function count", "%u, expected %u",
        attributes->cFuncs, expected);
  Check(static_cast<size_t>(attributes->cbSizeVft) == (7 + expected) * sizeof(void*),
        "layout: vtable size", "%u bytes", static_cast<unsigned>(attributes->cbSizeVft));
  UINT count = attributes->cFuncs < expected ? attributes->cFuncs : expected;
  info->ReleaseTypeAttr(attributes);
  bool all = true;
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* desc = nullptr;
    if (FAILED(info->GetFuncDesc(i, &desc))) {
      all = false;
      Note("no description of member %u", i);
      continue;
    }
    BSTR name = nullptr;
    info->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr);
    bool ok = name && wcscmp(name, kLayout[i].name) == 0 && desc->invkind == kLayout[i].kind &&
              desc->oVft == static_cast<SHORT>((7 + i) * sizeof(void*)) &&
              desc->funckind == FUNC_PUREVIRTUAL;
    if (!ok) {
      all = false;
      Note("member %u: %ls kind %d slot offset %d (expected %ls kind %d offset %u)", i,
           name ? name : L"?", desc->invkind, desc->oVft, kLayout[i].name, kLayout[i].kind,
           static_cast<unsigned>((7 + i) * sizeof(void*)));
    }
    SysFreeString(name);
    info->ReleaseFuncDesc(desc);
  }
  Check(all, "layout: names, kinds and vtable slots in interface order");
}

bool ExportsExactly(HMODULE module, const std::vector<std::string>& wanted) {
  auto* base = reinterpret_cast<const BYTE*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (!dir.VirtualAddress) return false;
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::vector<std::string> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    found.push_back(reinterpret_cast<const char*>(base + names[i]));
    Note("export %s", found.back().c_str());
  }
  if (found.size() != wanted.size()) return false;
  for (const std::string& name : wanted) {
    bool present = false;
    for (const std::string& f : found) present = present || f == name;
    if (!present) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------

struct Options {
  std::wstring dll;
  std::wstring movie;
  std::wstring missing_url;
  long frames = 0;
  double rate = 0;
  DWORD hold_ms = 0;
};

std::wstring g_record;

std::vector<std::string> RecordLines() { return Lines(ReadFileText(g_record)); }

void ClearRecord() { DeleteFileW(g_record.c_str()); }

bool RecordHas(const std::string& prefix) { return CountPrefix(RecordLines(), prefix) > 0; }

void SetFail(const wchar_t* value) { SetEnvironmentVariableW(L"TAVRENSIL_STANDIN_FAIL", value); }

// ---------------------------------------------------------------------------
// The main road: the client's launch against the control, then teardown.

struct Property {
  const wchar_t* name;
  std::wstring value;
};

// The properties the client sets at launch, in its order and with its kind
// of values.
std::vector<Property> LaunchProperties(const std::wstring& movie) {
  const std::wstring flashvars =
      L"csid=7f3a9c&server=127.0.0.1&lang=tr&world=eu1&user=\u00c7a\u011fr\u0131&note=a long value "
      L"that wraps in the "
      L"window because it is longer than one line of the control's text area";
  return {
      {L"WMode", L"direct"},
      {L"Quality2", L"high"},
      {L"AllowScriptAccess", L"always"},
      {L"AllowFullScreen", L"true"},
      {L"AllowFullScreenInteractive", L"true"},
      {L"FlashVars", flashvars},
      {L"Movie", movie},
  };
}

// What a successful Create leaves: the interfaces, the description, the
// site and the control's window. Returns that window (null if none).
HWND CheckActivation(const FlashHost& host, HWND window) {
  Check(host.inplace_object != nullptr, "IOleInPlaceObject available");
  Check(DescribedAsDual(host.type_info), "type description is a dual dispatch interface");
  // The host's reference, the client site the control keeps and the
  // in-place site it asked for and holds while active.
  Check(host.site->refs == 3, "activation holds the site's in-place face", "%ld references",
        host.site->refs);
  CheckLayout(host.type_info);

  std::wstring class_name;
  HWND child = FindControlWindow(window, &class_name);
  Check(child != nullptr, "control window with class MacromediaFlash* in the host window");
  if (child) {
    Note("control window class %ls", class_name.c_str());
    RECT r = ChildRect(window, child);
    Check(r.left == 0 && r.top == 0 && r.right == 1000 && r.bottom == 600,
          "control window covers the client area", "%ld,%ld,%ld,%ld", r.left, r.top, r.right,
          r.bottom);
    Check(IsWindowVisible(child) != FALSE, "control window visible");
  }
  HWND reported = nullptr;
  Check(host.inplace_object && SUCCEEDED(host.inplace_object->GetWindow(&reported)) &&
            reported == child,
        "IOleWindow::GetWindow gives the control window");
  return child;
}

// The launch properties set and read back, and the movie playing.
void CheckLaunch(FlashHost& host, const std::vector<Property>& launch, long frames) {
  Check(host.GetLong(L"ReadyState") == 0, "ReadyState 0 before a movie");
  Check(host.GetLong(L"TotalFrames") == 0, "TotalFrames 0 before a movie");
  bool all_set = true;
  for (const Property& p : launch) {
    if (!host.SetProperty(p.name, p.value)) {
      all_set = false;
      Note("set %ls failed: %s", p.name, Narrow(host.last_error).c_str());
    }
  }
  Check(all_set, "all launch properties set through ITypeInfo::Invoke");
  long ready = host.GetLong(L"ReadyState");
  Check(ready == 1 || ready == 4, "ReadyState 1 (or already 4) right after Movie", "%ld", ready);

  bool loaded = WaitFor([&] { return host.GetLong(L"ReadyState") == 4; }, 20000);
  Check(loaded, "ReadyState becomes 4");
  if (!loaded) {
    for (const std::string& line : RecordLines()) {
      if (StartsWith(line, "load")) Note("record: %s", line.c_str());
    }
  }
  long total = host.GetLong(L"TotalFrames");
  Check(total == frames, "TotalFrames from the movie header", "%ld, expected %ld", total, frames);
  long f1 = host.GetLong(L"FrameNum");
  Pump(400);
  long f2 = host.GetLong(L"FrameNum");
  Check(f1 >= 0 && f2 >= 0 && (frames <= 0 || (f1 < frames && f2 < frames)),
        "FrameNum within the movie", "%ld then %ld", f1, f2);
  Check(f1 != f2, "FrameNum advances", "%ld then %ld", f1, f2);

  bool same = true;
  for (const Property& p : launch) {
    std::wstring back = ReadText(host, p.name);
    if (back != p.value) {
      same = false;
      Note("get %ls gave \"%s\"", p.name, Narrow(back).c_str());
    }
  }
  Check(same, "text properties read back unchanged");
}

// The object's own IDispatch, as a script host would use it.
void CheckDispatch(IOleObject* object, const std::wstring& movie) {
  IDispatch* dispatch = nullptr;
  HRESULT hr = object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  Check(SUCCEEDED(hr), "QueryInterface IDispatch");
  if (!dispatch) return;
  UINT count = 0;
  Check(SUCCEEDED(dispatch->GetTypeInfoCount(&count)) && count == 1,
        "IDispatch::GetTypeInfoCount is 1");
  LPOLESTR name = const_cast<LPOLESTR>(L"mOvIe");
  DISPID id = 0;
  hr = dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  Check(SUCCEEDED(hr), "IDispatch::GetIDsOfNames in any case", "0x%08lX",
        static_cast<unsigned long>(hr));
  ScopedVariant result;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                        result.get(), nullptr, nullptr);
  Check(SUCCEEDED(hr) && V_VT(result.get()) == VT_BSTR && V_BSTR(result.get()) &&
            movie == V_BSTR(result.get()),
        "IDispatch::Invoke reads Movie");
  LPOLESTR bad = const_cast<LPOLESTR>(L"Nope");
  Check(dispatch->GetIDsOfNames(IID_NULL, &bad, 1, LOCALE_USER_DEFAULT, &id) == DISP_E_UNKNOWNNAME,
        "IDispatch::GetIDsOfNames of an unknown name");
  dispatch->Release();
}

// Resizing as the window procedure does on WM_SIZE, then a click, which
// gives the control the keyboard focus.
void CheckResizeAndFocus(FlashHost& host, HWND window, HWND child) {
  host.Resize(800, 500);
  Pump(50);
  if (child) {
    RECT r = ChildRect(window, child);
    Check(r.right - r.left == 800 && r.bottom - r.top == 500,
          "SetObjectRects resizes the control window", "%ld x %ld", r.right - r.left,
          r.bottom - r.top);
  }
  host.Resize(1000, 600);
  Pump(50);
  if (!child) return;
  SetForegroundWindow(window);
  SetFocus(window);
  SendMessageW(child, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, 200));
  SendMessageW(child, WM_LBUTTONUP, 0, MAKELPARAM(200, 200));
  Check(GetFocus() == child, "a click gives the control the focus");
  SendMessageW(child, WM_CHAR, L'k', 0);
}

// The record of the whole road: the client's order, the movie's header,
// one deactivation and the release last.
void CheckRecord(const std::vector<Property>& launch, const std::wstring& movie, long frames,
                 double rate) {
  std::vector<std::string> lines = RecordLines();
  std::vector<std::string> expected = {"class_object", "create", "set_client_site", "activate",
                                       "rects 0,0,1000,600"};
  for (const Property& p : launch)
    expected.push_back("put " + Narrow(p.name) + "=" + Narrow(p.value));
  expected.push_back("loading " + Narrow(movie));
  for (const char* line : {"loaded bytes=*", "rects 0,0,800,500", "focus", "deactivate", "close",
                           "set_client_site null", "release"}) {
    expected.push_back(line);
  }
  std::string missing;
  const bool in_order = InOrder(lines, expected, &missing);  // before `missing` is read
  Check(in_order, "record: events in the client's order", "missing \"%s\"", missing.c_str());
  Check(CountPrefix(lines, "deactivate") == 1, "record: teardown deactivates the control once");
  char frames_text[96];
  snprintf(frames_text, sizeof frames_text, "frames=%ld rate=", frames);
  bool header_line = false;
  for (const std::string& line : lines) {
    if (StartsWith(line, "loaded ") && line.find(" signature=FWS ") != std::string::npos &&
        line.find(frames_text) != std::string::npos) {
      header_line = true;
      Note("record: %s", line.c_str());
    }
  }
  Check(header_line, "record: loaded line with signature, frames and rate");
  if (rate > 0) {
    char rate_text[32];
    snprintf(rate_text, sizeof rate_text, "rate=%g ", rate);
    bool rate_ok = false;
    for (const std::string& line : lines)
      rate_ok =
          rate_ok || (StartsWith(line, "loaded ") && line.find(rate_text) != std::string::npos);
    Check(rate_ok, "record: frame rate from the header", "want %s", rate_text);
  }
  Check(CountPrefix(lines, "release") == 1 && lines.back() == "release",
        "record: release is the last event");
}

void MainRun(const Options& options, const std::wstring& movie, long frames, double rate) {
  ClearRecord();
  HWND window = CreateHostWindow(L"Media control stand-in check");
  Check(window != nullptr, "host window created");
  if (!window) return;
  Pump(100);

  FlashHost host;
  bool created = host.Create(window, options.dll);
  Check(created, "host create: load, class object, instance, site, activation, type library", "%s",
        Narrow(host.last_error).c_str());
  if (!created) {
    host.Destroy();
    DestroyWindow(window);
    return;
  }
  HWND child = CheckActivation(host, window);
  FlashSite* site = host.site;
  site->AddRef();  // kept to look at after teardown
  const std::vector<Property> launch = LaunchProperties(movie);
  CheckLaunch(host, launch, frames);
  CheckDispatch(host.ole_object, movie);
  CheckResizeAndFocus(host, window, child);
  if (options.hold_ms) {
    Note("holding the window for %lu ms", static_cast<unsigned long>(options.hold_ms));
    printf("HOLD %lu\n", static_cast<unsigned long>(options.hold_ms));
    fflush(stdout);
    Pump(options.hold_ms);
  }

  host.Destroy();
  Pump(50);
  Check(!child || !IsWindow(child), "control window destroyed by teardown");
  Check(site->refs == 1, "the control released every site reference", "%ld left", site->refs);
  site->Release();
  CheckRecord(launch, movie, frames, rate);
  DestroyWindow(window);
  Pump(50);
}

// ---------------------------------------------------------------------------
// Movie variants on one control loaded from a copy of the DLL under the
// name the client gives it, with a new Movie each time.

struct Variant {
  const char* name;
  std::wstring movie;
  const char* record;  // the line that ends the load (see MatchesPattern)
  long ready;
  long total;
};

// Movie files written into `dir`, and addresses that cannot give a movie.
std::vector<Variant> MovieVariants(const std::wstring& dir, const Options& options) {
  std::vector<Variant> variants;
  std::wstring small = dir + L"\\small.swf";
  // Negative left edge and 12.5 fps: the bit field and the fixed point.
  WriteBytes(small, BuildMovie(9, -200, 10800, 40, 8040, 12.5, 7));
  variants.push_back({"local movie file by path", small,
                      "loaded bytes=* signature=FWS version=9 frames=7 rate=12.50 size=550x400", 4,
                      7});
  std::wstring url_path = small;
  for (wchar_t& c : url_path) {
    if (c == L'\\') c = L'/';
  }
  variants.push_back({"local movie file by file: URL", L"file:///" + url_path,
                      "loaded bytes=* signature=FWS version=9 frames=7 rate=12.50", 4, 7});
  std::wstring compressed = dir + L"\\compressed.swf";
  WriteBytes(compressed, std::string("CWS\x0a\x10\x27\x00\x00", 8) + std::string(300, 'x'));
  variants.push_back({"compressed movie: signature and size only", compressed,
                      "loaded bytes=308 signature=CWS version=10", 4, 0});
  std::wstring cut = dir + L"\\cut.swf";
  WriteBytes(cut, std::string("FWS\x08\x40\x00\x00\x00\x78", 9));
  variants.push_back(
      {"movie header cut short", cut, "loaded bytes=9 signature=FWS version=8", 4, 0});
  std::wstring text = dir + L"\\readme.txt";
  WriteBytes(text, "hello, not a movie");
  variants.push_back({"not a movie file", text, "loaded bytes=18 signature=none", 4, 0});
  variants.push_back(
      {"missing file", dir + L"\\missing.swf", "load_failed cannot open file (error 2)", 1, 0});
  wchar_t refused[96];
  swprintf(refused, ARRAYSIZE(refused), L"http://127.0.0.1:%d/game.swf", ClosedPort());
  variants.push_back({"refused connection", refused, "load_failed *", 1, 0});
  variants.push_back(
      {"unsupported scheme", L"rtmp://127.0.0.1/game", "load_failed unsupported URL scheme", 1, 0});
  if (!options.missing_url.empty()) {
    variants.push_back({"HTTP 404", options.missing_url, "load_failed HTTP 404", 1, 0});
  }
  return variants;
}

// The record line that ends the current load ("loaded ..." or
// "load_failed ..."), or empty when none comes in time.
std::string WaitForLoadEnd() {
  std::string seen;
  WaitFor(
      [&] {
        for (const std::string& line : RecordLines()) {
          if (StartsWith(line, "loaded ") || StartsWith(line, "load_failed")) {
            seen = line;
            return true;
          }
        }
        return false;
      },
      20000);
  return seen;
}

// `line` is `pattern`, where one '*' inside stands for any text and a '*'
// at the end for any rest of the line.
bool MatchesPattern(const std::string& line, std::string pattern) {
  const bool open_end = !pattern.empty() && pattern.back() == '*';
  if (open_end) pattern.pop_back();
  const size_t star = pattern.find('*');
  if (star == std::string::npos) return open_end ? StartsWith(line, pattern) : line == pattern;
  return StartsWith(line, pattern.substr(0, star)) &&
         line.find(pattern.substr(star + 1)) != std::string::npos;
}

void VariantRun(const std::wstring& ocx, const std::wstring& dir, const Options& options) {
  ClearRecord();
  HWND window = CreateHostWindow(L"Media control stand-in check (variants)");
  FlashHost host;
  bool created = host.Create(window, ocx);
  Check(created, "create from a copy named Flash32_32_0_0_363.ocx", "%s",
        Narrow(host.last_error).c_str());
  if (!created) {
    host.Destroy();
    DestroyWindow(window);
    return;
  }
  for (const Variant& v : MovieVariants(dir, options)) {
    ClearRecord();
    bool set = host.SetProperty(L"Movie", v.movie);
    std::string seen = WaitForLoadEnd();
    char name[160];
    snprintf(name, sizeof name, "%s: record", v.name);
    Check(set && MatchesPattern(seen, v.record), name, "got \"%s\", want \"%s\"", seen.c_str(),
          v.record);
    snprintf(name, sizeof name, "%s: ReadyState %ld, TotalFrames %ld", v.name, v.ready, v.total);
    long ready = host.GetLong(L"ReadyState");
    long total = host.GetLong(L"TotalFrames");
    Check(ready == v.ready && total == v.total, name, "%ld, %ld", ready, total);
    if (v.total > 0) {
      bool wraps = true;
      for (int i = 0; i < 10 && wraps; ++i) {
        long frame = host.GetLong(L"FrameNum");
        wraps = frame >= 0 && frame < v.total;
        Pump(60);
      }
      snprintf(name, sizeof name, "%s: FrameNum stays below TotalFrames", v.name);
      Check(wraps, name);
    }
    Pump(150);  // a moment on screen
  }
  host.Destroy();
  DestroyWindow(window);
  Pump(50);
}

// ---------------------------------------------------------------------------
// The failure switches of TAVRENSIL_STANDIN_FAIL: each makes its step fail
// with the code the README gives. The host's own texts for failing steps
// are checked in tests/unit/flash_host_test.cpp.

// The switches that stop Create: the host sees the documented code.
void CheckCreateSwitches(HWND window, const Options& options) {
  struct Switch {
    const wchar_t* fail;
    const char* name;
    HRESULT code;
    const char* recorded;  // the check of the record
    const char* line;      // the stand-in's line for the failure
    bool made_object;      // so that teardown releases one
  };
  const Switch switches[] = {
      {L"factory", "fail=factory: no class factory, CLASS_E_CLASSNOTAVAILABLE",
       CLASS_E_CLASSNOTAVAILABLE, "fail=factory: recorded", "class_object fail 0x80040111", false},
      {L"create", "fail=create: CreateInstance gives E_OUTOFMEMORY", E_OUTOFMEMORY,
       "fail=create: recorded", "create fail 0x8007000E", false},
      {L"activate", "fail=activate: DoVerb gives E_FAIL, no control window", E_FAIL,
       "fail=activate: recorded, object released", "activate fail 0x80004005", true},
  };
  for (const Switch& s : switches) {
    ClearRecord();
    SetFail(s.fail);
    FlashHost host;
    bool failed = !host.Create(window, options.dll) && FailedWith(host, s.code);
    Check(failed && FindControlWindow(window, nullptr) == nullptr, s.name, "%s",
          Narrow(host.last_error).c_str());
    host.Destroy();
    Check(RecordHas(s.line) && RecordHas("release") == s.made_object, s.recorded);
  }
  SetFail(nullptr);
}

// The switches of single properties, given as a list with blanks around
// the entries and in another case.
void CheckPropertySwitches(HWND window, const Options& options) {
  ClearRecord();
  SetFail(L" Property:wmode , get:FrameNum");
  FlashHost host;
  bool created = host.Create(window, options.dll);
  Check(created, "fail=property:WMode: the control is created", "%s",
        Narrow(host.last_error).c_str());
  if (created) {
    Check(!host.SetProperty(L"WMode", L"gpu") && FailedWith(host, DISP_E_EXCEPTION) &&
              RecordHas("put WMode=gpu fail 0x80070057") && ReadText(host, L"WMode").empty(),
          "fail=property:WMode: E_INVALIDARG, DISP_E_EXCEPTION through Invoke, value not kept",
          "%s", Narrow(host.last_error).c_str());
    Check(host.SetProperty(L"Quality2", L"high"),
          "fail=property:WMode: other properties still set");
    Check(host.GetLong(L"FrameNum") == -1 && RecordHas("get FrameNum fail 0x80004005"),
          "fail=get:FrameNum: E_FAIL, the host reads -1");
    Check(host.GetLong(L"ReadyState") == 0, "fail=get:FrameNum: other reads work");
  }
  host.Destroy();
  SetFail(nullptr);
}

// The class factory itself: no aggregation, no other interface, no other
// class.
void CheckFactory(const Options& options) {
  typedef HRESULT(STDAPICALLTYPE * GetClassObjectFn)(REFCLSID, REFIID, LPVOID*);
  HMODULE module = LoadLibraryW(options.dll.c_str());
  auto get_class_object = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  IClassFactory* factory = nullptr;
  if (get_class_object && SUCCEEDED(get_class_object(kClsidShockwaveFlash, IID_IClassFactory,
                                                     reinterpret_cast<void**>(&factory)))) {
    IUnknown* object = nullptr;
    IUnknown* outer = reinterpret_cast<IUnknown*>(factory);
    Check(factory->CreateInstance(outer, IID_IUnknown, reinterpret_cast<void**>(&object)) ==
              CLASS_E_NOAGGREGATION,
          "aggregation refused");
    Check(factory->CreateInstance(nullptr, IID_IClassFactory, reinterpret_cast<void**>(&object)) ==
                  E_NOINTERFACE &&
              object == nullptr,
          "unknown interface refused by CreateInstance");
    factory->Release();
  }
  if (get_class_object) {
    Check(get_class_object(kIidShockwaveFlash, IID_IClassFactory,
                           reinterpret_cast<void**>(&factory)) == CLASS_E_CLASSNOTAVAILABLE,
          "another class id: CLASS_E_CLASSNOTAVAILABLE");
  }
  FreeLibrary(module);
}

void FailureRun(const Options& options) {
  HWND window = CreateHostWindow(L"Media control stand-in check (failures)");
  CheckCreateSwitches(window, options);
  CheckPropertySwitches(window, options);
  CheckFactory(options);
  DestroyWindow(window);
  Pump(50);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    auto next = [&]() -> std::wstring {
      return i + 1 < argc ? std::wstring(argv[++i]) : std::wstring();
    };
    if (arg == L"--movie") {
      options.movie = next();
    } else if (arg == L"--frames") {
      options.frames = wcstol(next().c_str(), nullptr, 10);
    } else if (arg == L"--rate") {
      options.rate = wcstod(next().c_str(), nullptr);
    } else if (arg == L"--missing-url") {
      options.missing_url = next();
    } else if (arg == L"--hold") {
      options.hold_ms = static_cast<DWORD>(wcstoul(next().c_str(), nullptr, 10));
    } else if (options.dll.empty()) {
      options.dll = WindowsPath(arg);
    } else {
      fprintf(stderr, "unknown argument %s\n", Narrow(arg).c_str());
      return 2;
    }
  }
  if (options.dll.empty()) {
    fprintf(stderr,
            "usage: standin_check DLL [--movie URL --frames N --rate R] [--missing-url URL] "
            "[--hold MS]\n");
    return 2;
  }
  Note("control %s", Narrow(options.dll).c_str());

  if (FAILED(OleInitialize(nullptr))) {
    Check(false, "OleInitialize");
    return Summary();
  }

  // A folder of our own for the record and the movie files.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  wchar_t dir_buffer[MAX_PATH + 64];
  swprintf(dir_buffer, ARRAYSIZE(dir_buffer), L"%lsstandin_check_%lu", temp, GetCurrentProcessId());
  std::wstring dir = dir_buffer;
  CreateDirectoryW(dir.c_str(), nullptr);
  g_record = dir + L"\\record.txt";
  SetEnvironmentVariableW(L"TAVRENSIL_STANDIN_RECORD", g_record.c_str());
  SetFail(nullptr);

  // The file as a module: exports, type library resource, unload state.
  HMODULE module = LoadLibraryW(options.dll.c_str());
  Check(module != nullptr, "LoadLibraryW of the control file", "error %lu", GetLastError());
  if (module) {
    Check(GetProcAddress(module, "DllGetClassObject") && GetProcAddress(module, "DllCanUnloadNow"),
          "DllGetClassObject and DllCanUnloadNow found by GetProcAddress");
    Check(ExportsExactly(module, {"DllGetClassObject", "DllCanUnloadNow"}),
          "exactly these two exports");
    Check(FindResourceW(module, MAKEINTRESOURCEW(1), L"TYPELIB") != nullptr,
          "type library resource TYPELIB 1");
    auto can_unload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    if (can_unload) Check(can_unload() == S_OK, "DllCanUnloadNow S_OK before any object");
  }

  // The main road, with the given movie or one of our own.
  std::wstring movie = options.movie;
  long frames = options.frames;
  double rate = options.rate;
  if (movie.empty()) {
    movie = dir + L"\\game.swf";
    WriteBytes(movie, BuildMovie(10, 0, 20000, 0, 12000, 24.0, 48));
    frames = 48;
    rate = 24.0;
  }
  Note("movie %s", Narrow(movie).c_str());
  MainRun(options, movie, frames, rate);

  // The same file under the client's name for it.
  std::wstring ocx = dir + L"\\Flash32_32_0_0_363.ocx";
  Check(CopyFileW(options.dll.c_str(), ocx.c_str(), FALSE) != FALSE,
        "copy as Flash32_32_0_0_363.ocx");
  VariantRun(ocx, dir, options);

  FailureRun(options);

  // Nothing left alive: objects, locks and download threads.
  if (module) {
    auto can_unload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    bool idle = can_unload && WaitFor([&] { return can_unload() == S_OK; }, 5000);
    Check(idle, "DllCanUnloadNow S_OK after teardown");
  }
  HMODULE copy = GetModuleHandleW(ocx.c_str());
  if (copy) {
    auto can_unload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(copy, "DllCanUnloadNow")));
    bool idle = can_unload && WaitFor([&] { return can_unload() == S_OK; }, 20000);
    Check(idle, "DllCanUnloadNow S_OK for the copy after teardown");
    // Idle: the copy may go, so that its file can be deleted below.
    for (int i = 0; idle && i < 16 && copy; ++i) {
      FreeLibrary(copy);
      copy = GetModuleHandleW(ocx.c_str());
    }
    Check(!idle || copy == nullptr, "the idle copy unloads");
  }

  // Our folder goes.
  for (const wchar_t* name : {L"record.txt", L"game.swf", L"small.swf", L"compressed.swf",
                              L"cut.swf", L"readme.txt", L"Flash32_32_0_0_363.ocx"}) {
    DeleteFileW((dir + L"\\" + name).c_str());
  }
  RemoveDirectoryW(dir.c_str());
  OleUninitialize();
  return Summary();
}
