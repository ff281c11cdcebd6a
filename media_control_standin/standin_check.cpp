// standin_check: plays the client's part against the stand-in media control,
// step by step as the client's control host does it, and checks what the
// control does in return.
//
//   standin_check DLL [--movie URL --frames N --rate R] [--missing-url URL]
//                     [--hold MS]
//
// DLL may be a Unix path (it is then read as Z:\...). Without --movie the
// main run plays a movie file that the check writes itself. --missing-url
// names a URL that answers 404. --hold keeps the window with the playing
// movie on screen for MS milliseconds (for a screenshot) before teardown.
// Prints PASS/FAIL lines and ends with "N passed, M failed"; the exit code
// is 0 only when nothing failed.
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

#include <initguid.h>

#include "standin_idl.h"

namespace {

// ---------------------------------------------------------------------------
// Reporting

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* name, const char* format = nullptr, ...)
    __attribute__((format(printf, 3, 4)));

void Check(bool ok, const char* name, const char* format, ...) {
  if (ok) {
    ++g_passed;
    printf("PASS %s\n", name);
  } else {
    ++g_failed;
    printf("FAIL %s", name);
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
// The client site: IOleClientSite, IOleInPlaceSite and IOleInPlaceFrame,
// answering as the client's own site does.

class Site final : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame {
 public:
  explicit Site(HWND window) : hwnd_(window) {}

  LONG refs() const { return refs_; }
  int activations = 0;
  int deactivations = 0;
  int context_calls = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
      *object = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite)) {
      *object = static_cast<IOleInPlaceSite*>(this);
    } else if (IsEqualIID(riid, IID_IOleInPlaceUIWindow) ||
               IsEqualIID(riid, IID_IOleInPlaceFrame)) {
      *object = static_cast<IOleInPlaceFrame*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IOleClientSite
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
    if (container) *container = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
    if (!window) return E_POINTER;
    *window = hwnd_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IOleInPlaceSite
  HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override {
    ++activations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame,
                                             IOleInPlaceUIWindow** document, LPRECT pos,
                                             LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
    ++context_calls;
    if (frame) {
      *frame = static_cast<IOleInPlaceFrame*>(this);
      AddRef();
    }
    if (document) *document = nullptr;
    RECT client;
    GetClientRect(hwnd_, &client);
    if (pos) *pos = client;
    if (clip) *clip = client;
    if (info) {
      info->fMDIApp = FALSE;
      info->hwndFrame = hwnd_;
      info->haccel = nullptr;
      info->cAccelEntries = 0;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Scroll(SIZE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override {
    ++deactivations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT) override { return S_OK; }

  // IOleInPlaceUIWindow
  HRESULT STDMETHODCALLTYPE GetBorder(LPRECT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override {
    return S_OK;
  }

  // IOleInPlaceFrame
  HRESULT STDMETHODCALLTYPE InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

 private:
  ~Site() = default;
  HWND hwnd_;
  volatile LONG refs_ = 1;
};

// ---------------------------------------------------------------------------
// The host: the client's steps, one by one.

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, LPVOID*);

struct Host {
  HMODULE module = nullptr;
  IOleObject* ole_object = nullptr;
  IOleInPlaceObject* inplace_object = nullptr;
  IShockwaveFlash* flash = nullptr;
  ITypeInfo* type_info = nullptr;
  Site* site = nullptr;
  HWND parent = nullptr;
  // Where Create stopped and with which result.
  int failed_step = 0;
  HRESULT failed_hr = S_OK;
  bool first_kind_dispatch = false;
  bool first_dual = false;
  bool kept_vtable_half = false;

  bool Fail(int step, HRESULT hr) {
    failed_step = step;
    failed_hr = hr;
    return false;
  }

  bool Create(HWND window, const std::wstring& path) {
    failed_step = 0;
    failed_hr = S_OK;
    parent = window;
    // 1. The file, loaded by path.
    module = LoadLibraryW(path.c_str());
    if (!module) {
      DWORD code = GetLastError();
      return Fail(1, code > 0 ? HRESULT_FROM_WIN32(code) : static_cast<HRESULT>(code));
    }
    // 2. Its class-object export.
    auto get_class_object = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!get_class_object) return Fail(2, E_FAIL);
    // 3. The class factory for the control's class id.
    IClassFactory* factory = nullptr;
    HRESULT hr = get_class_object(CLSID_ShockwaveFlash, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return Fail(3, hr);
    // 4. The object, as IOleObject.
    hr = factory->CreateInstance(nullptr, IID_IOleObject, reinterpret_cast<void**>(&ole_object));
    factory->Release();
    if (FAILED(hr)) return Fail(4, hr);
    // 5. The client site.
    site = new Site(window);
    hr = ole_object->SetClientSite(static_cast<IOleClientSite*>(site));
    if (FAILED(hr)) return Fail(5, hr);
    // 6. In-place activation in the window's client rectangle.
    RECT client;
    GetClientRect(window, &client);
    hr = ole_object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(site),
                            0, window, &client);
    if (FAILED(hr)) return Fail(6, hr);
    // 7. The in-place interface (may be missing) and the control's own one.
    ole_object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inplace_object));
    hr = ole_object->QueryInterface(IID_IShockwaveFlash, reinterpret_cast<void**>(&flash));
    if (FAILED(hr)) return Fail(7, hr);
    // 8. The type library of the same file, registering nothing.
    ITypeLib* library = nullptr;
    hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) return Fail(8, hr);
    // 9. The interface's description.
    ITypeInfo* info = nullptr;
    hr = library->GetTypeInfoOfGuid(IID_IShockwaveFlash, &info);
    library->Release();
    if (FAILED(hr)) return Fail(9, hr);
    // 10. The vtable half of a dual interface, when there is one.
    TYPEATTR* attributes = nullptr;
    if (SUCCEEDED(info->GetTypeAttr(&attributes))) {
      if (attributes->typekind == TKIND_DISPATCH) {
        first_kind_dispatch = true;
        bool dual = (attributes->wTypeFlags & TYPEFLAG_FDUAL) != 0;
        first_dual = dual;
        info->ReleaseTypeAttr(attributes);
        if (dual) {
          HREFTYPE ref = 0;
          ITypeInfo* vtable = nullptr;
          if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
              SUCCEEDED(info->GetRefTypeInfo(ref, &vtable))) {
            info->Release();
            info = vtable;
            kept_vtable_half = true;
          }
        }
      } else {
        info->ReleaseTypeAttr(attributes);
      }
    }
    // 11.
    type_info = info;
    // 12. Position and clip rectangle: the whole client area.
    if (inplace_object) {
      RECT r = {0, 0, client.right - client.left, client.bottom - client.top};
      inplace_object->SetObjectRects(&r, &r);
    }
    return true;
  }

  HRESULT SetProperty(const wchar_t* name, const std::wstring& value) {
    if (!flash || !type_info) return E_UNEXPECTED;
    MEMBERID id = 0;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = type_info->GetIDsOfNames(names, 1, &id);
    if (FAILED(hr)) return hr;
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&arg, &named, 1, 1};
    hr = type_info->Invoke(flash, id, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
    VariantClear(&arg);
    return hr;
  }

  // The property read through the type description (any type, as VARIANT).
  HRESULT GetProperty(const wchar_t* name, VARIANT* result) {
    if (!flash || !type_info) return E_UNEXPECTED;
    MEMBERID id = 0;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = type_info->GetIDsOfNames(names, 1, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VariantInit(result);
    return type_info->Invoke(flash, id, DISPATCH_PROPERTYGET, &none, result, nullptr, nullptr);
  }

  long GetLong(const wchar_t* name) {
    VARIANT result;
    if (FAILED(GetProperty(name, &result))) return -1;
    VARIANT converted;
    VariantInit(&converted);
    long value = -1;
    if (SUCCEEDED(VariantChangeType(&converted, &result, 0, VT_I4))) value = converted.lVal;
    VariantClear(&converted);
    VariantClear(&result);
    return value;
  }

  std::wstring GetText(const wchar_t* name) {
    VARIANT result;
    std::wstring text = L"<error>";
    if (SUCCEEDED(GetProperty(name, &result))) {
      if (result.vt == VT_BSTR)
        text.assign(result.bstrVal ? result.bstrVal : L"", SysStringLen(result.bstrVal));
      VariantClear(&result);
    }
    return text;
  }

  void Resize(int width, int height) {
    if (!inplace_object) return;
    RECT r = {0, 0, width, height};
    inplace_object->SetObjectRects(&r, &r);
  }

  void Destroy() {
    if (type_info) {
      type_info->Release();
      type_info = nullptr;
    }
    if (flash) {
      flash->Release();
      flash = nullptr;
    }
    if (inplace_object) {
      inplace_object->InPlaceDeactivate();
      inplace_object->Release();
      inplace_object = nullptr;
    }
    if (ole_object) {
      ole_object->Close(OLECLOSE_NOSAVE);
      ole_object->SetClientSite(nullptr);
      ole_object->Release();
      ole_object = nullptr;
    }
    if (site) {
      site->Release();
      site = nullptr;
    }
  }
};

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

// The main road: the client's launch against the control, then teardown.
void MainRun(const Options& options, const std::wstring& movie, long frames, double rate) {
  ClearRecord();
  HWND window = CreateHostWindow(L"Media control stand-in check");
  Check(window != nullptr, "host window created");
  if (!window) return;
  Pump(100);

  Host host;
  bool created = host.Create(window, options.dll);
  Check(created, "host create: load, class object, instance, site, activation, type library",
        "step %d, 0x%08lX", host.failed_step, static_cast<unsigned long>(host.failed_hr));
  if (!created) {
    host.Destroy();
    DestroyWindow(window);
    return;
  }
  Site* site = host.site;
  site->AddRef();  // kept to look at after teardown
  Check(host.inplace_object != nullptr, "IOleInPlaceObject available");
  Check(host.first_kind_dispatch && host.first_dual,
        "type description is a dual dispatch interface");
  Check(host.kept_vtable_half, "vtable half of the dual interface obtained");
  Check(site->activations == 1 && site->context_calls >= 1,
        "activation asked the site (OnInPlaceActivate, GetWindowContext)",
        "activate %d, context %d", site->activations, site->context_calls);
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

  Check(host.GetLong(L"ReadyState") == 0, "ReadyState 0 before a movie");
  Check(host.GetLong(L"TotalFrames") == 0, "TotalFrames 0 before a movie");

  // The launch: the same properties in the same order as the client.
  const std::wstring flashvars =
      L"csid=7f3a9c&server=127.0.0.1&lang=tr&world=eu1&user=\u00c7a\u011fr\u0131&note=a long value "
      L"that wraps in the "
      L"window because it is longer than one line of the control's text area";
  struct Property {
    const wchar_t* name;
    std::wstring value;
  } launch[] = {
      {L"WMode", L"direct"},
      {L"Quality2", L"high"},
      {L"AllowScriptAccess", L"always"},
      {L"AllowFullScreen", L"true"},
      {L"AllowFullScreenInteractive", L"true"},
      {L"FlashVars", flashvars},
      {L"Movie", movie},
  };
  bool all_set = true;
  for (const Property& p : launch) {
    HRESULT hr = host.SetProperty(p.name, p.value);
    if (FAILED(hr)) {
      all_set = false;
      Note("set %ls failed 0x%08lX", p.name, static_cast<unsigned long>(hr));
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
    std::wstring back = host.GetText(p.name);
    if (back != p.value) {
      same = false;
      Note("get %ls gave \"%s\"", p.name, Narrow(back).c_str());
    }
  }
  Check(same, "text properties read back unchanged");
  Check(host.SetProperty(L"NoSuchProperty", L"x") == DISP_E_UNKNOWNNAME,
        "unknown property name: DISP_E_UNKNOWNNAME");
  Check(SUCCEEDED(host.SetProperty(L"quality", L"best")) && host.GetText(L"QUALITY") == L"best",
        "names are matched without regard to case");

  // The object's own IDispatch, as a script host would use it.
  IDispatch* dispatch = nullptr;
  HRESULT hr = host.ole_object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  Check(SUCCEEDED(hr), "QueryInterface IDispatch");
  if (dispatch) {
    UINT count = 0;
    Check(SUCCEEDED(dispatch->GetTypeInfoCount(&count)) && count == 1,
          "IDispatch::GetTypeInfoCount is 1");
    LPOLESTR name = const_cast<LPOLESTR>(L"mOvIe");
    DISPID id = 0;
    hr = dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    Check(SUCCEEDED(hr), "IDispatch::GetIDsOfNames in any case", "0x%08lX",
          static_cast<unsigned long>(hr));
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                          nullptr, nullptr);
    Check(SUCCEEDED(hr) && result.vt == VT_BSTR && result.bstrVal && movie == result.bstrVal,
          "IDispatch::Invoke reads Movie");
    VariantClear(&result);
    LPOLESTR bad = const_cast<LPOLESTR>(L"Nope");
    Check(
        dispatch->GetIDsOfNames(IID_NULL, &bad, 1, LOCALE_USER_DEFAULT, &id) == DISP_E_UNKNOWNNAME,
        "IDispatch::GetIDsOfNames of an unknown name");
    dispatch->Release();
  }

  // Resizing as the window procedure does on WM_SIZE.
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

  // A click gives the control the keyboard focus.
  if (child) {
    SetForegroundWindow(window);
    SetFocus(window);
    SendMessageW(child, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(200, 200));
    SendMessageW(child, WM_LBUTTONUP, 0, MAKELPARAM(200, 200));
    Check(GetFocus() == child, "a click gives the control the focus");
    SendMessageW(child, WM_CHAR, L'k', 0);
  }

  if (options.hold_ms) {
    Note("holding the window for %lu ms", static_cast<unsigned long>(options.hold_ms));
    printf("HOLD %lu\n", static_cast<unsigned long>(options.hold_ms));
    fflush(stdout);
    Pump(options.hold_ms);
  }

  // Teardown in the client's order.
  host.Destroy();
  Pump(50);
  Check(!child || !IsWindow(child), "control window destroyed by teardown");
  Check(site->deactivations == 1, "site told OnInPlaceDeactivate once", "%d", site->deactivations);
  Check(site->refs() == 1, "the control released every site reference", "%ld left", site->refs());
  site->Release();

  std::vector<std::string> lines = RecordLines();
  char rects[64];
  snprintf(rects, sizeof rects, "rects 0,0,1000,600");
  char loaded_line[96];
  snprintf(loaded_line, sizeof loaded_line, "loaded bytes=*");
  std::vector<std::string> expected = {
      "class_object",
      "create",
      "set_client_site",
      "activate",
      rects,
      "put WMode=direct",
      "put Quality2=high",
      "put AllowScriptAccess=always",
      "put AllowFullScreen=true",
      "put AllowFullScreenInteractive=true",
      "put FlashVars=" + Narrow(flashvars),
      "put Movie=" + Narrow(movie),
      "loading " + Narrow(movie),
      loaded_line,
      "rects 0,0,800,500",
      "focus",
      "deactivate",
      "close",
      "set_client_site null",
      "release",
  };
  std::string missing;
  Check(InOrder(lines, expected, &missing), "record: events in the client's order",
        "missing \"%s\"", missing.c_str());
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

  DestroyWindow(window);
  Pump(50);
}

// Movie variants on one control loaded from a copy of the DLL under the
// name the client gives it, with a new Movie each time.
void VariantRun(const std::wstring& ocx, const std::wstring& dir, const Options& options) {
  ClearRecord();
  HWND window = CreateHostWindow(L"Media control stand-in check (variants)");
  Host host;
  bool created = host.Create(window, ocx);
  Check(created, "create from a copy named Flash32_32_0_0_363.ocx", "step %d, 0x%08lX",
        host.failed_step, static_cast<unsigned long>(host.failed_hr));
  if (!created) {
    host.Destroy();
    DestroyWindow(window);
    return;
  }

  struct Variant {
    const char* name;
    std::wstring movie;
    const char* record_prefix;  // the line that ends the load
    long ready;
    long total;
  };
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

  for (const Variant& v : variants) {
    ClearRecord();
    HRESULT hr = host.SetProperty(L"Movie", v.movie);
    std::string prefix = v.record_prefix;
    bool exact_prefix = !prefix.empty() && prefix.back() == '*';
    std::string stem = exact_prefix ? prefix.substr(0, prefix.size() - 1) : prefix;
    std::string wildcard;
    size_t star = stem.find('*');
    if (star != std::string::npos) {
      wildcard = stem.substr(star + 1);
      stem = stem.substr(0, star);
    }
    std::string seen;
    bool ended = WaitFor(
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
    bool match = ended && StartsWith(seen, stem) &&
                 (wildcard.empty() || seen.find(wildcard) != std::string::npos) &&
                 (exact_prefix || star != std::string::npos || seen == stem);
    char name[160];
    snprintf(name, sizeof name, "%s: record", v.name);
    Check(SUCCEEDED(hr) && match, name, "got \"%s\", want \"%s\"", seen.c_str(), v.record_prefix);
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

// The failure switches of TAVRENSIL_STANDIN_FAIL, each against the host.
void FailureRun(const Options& options) {
  HWND window = CreateHostWindow(L"Media control stand-in check (failures)");

  ClearRecord();
  SetFail(L"factory");
  Host a;
  Check(!a.Create(window, options.dll) && a.failed_step == 3 &&
            a.failed_hr == CLASS_E_CLASSNOTAVAILABLE,
        "fail=factory: no class factory, CLASS_E_CLASSNOTAVAILABLE", "step %d, 0x%08lX",
        a.failed_step, static_cast<unsigned long>(a.failed_hr));
  a.Destroy();
  Check(RecordHas("class_object fail 0x80040111"), "fail=factory: recorded");

  ClearRecord();
  SetFail(L"create");
  Host b;
  Check(!b.Create(window, options.dll) && b.failed_step == 4 && b.failed_hr == E_OUTOFMEMORY,
        "fail=create: CreateInstance gives E_OUTOFMEMORY", "step %d, 0x%08lX", b.failed_step,
        static_cast<unsigned long>(b.failed_hr));
  b.Destroy();
  Check(RecordHas("create fail 0x8007000E"), "fail=create: recorded");

  ClearRecord();
  SetFail(L"activate");
  Host c;
  Check(!c.Create(window, options.dll) && c.failed_step == 6 && c.failed_hr == E_FAIL,
        "fail=activate: DoVerb gives E_FAIL", "step %d, 0x%08lX", c.failed_step,
        static_cast<unsigned long>(c.failed_hr));
  Check(FindControlWindow(window, nullptr) == nullptr, "fail=activate: no control window");
  c.Destroy();
  Check(RecordHas("activate fail 0x80004005") && RecordHas("release"),
        "fail=activate: recorded, object released");

  ClearRecord();
  SetFail(L" Property:wmode , get:FrameNum");
  Host d;
  bool created = d.Create(window, options.dll);
  Check(created, "fail=property:WMode: the control is created");
  if (created) {
    HRESULT hr = d.SetProperty(L"WMode", L"gpu");
    Check(hr == DISP_E_EXCEPTION, "fail=property:WMode: Invoke gives DISP_E_EXCEPTION", "0x%08lX",
          static_cast<unsigned long>(hr));
    Check(SUCCEEDED(d.SetProperty(L"Quality2", L"high")),
          "fail=property:WMode: other properties still set");
    Check(d.GetText(L"WMode").empty(), "fail=property:WMode: value not kept");
    Check(d.GetLong(L"FrameNum") == -1, "fail=get:FrameNum: the host reads -1");
    Check(d.GetLong(L"ReadyState") == 0, "fail=get:FrameNum: other reads work");
    Check(RecordHas("put WMode=gpu fail 0x80070057") && RecordHas("get FrameNum fail 0x80004005"),
          "fail=property/get: recorded");
  }
  d.Destroy();
  SetFail(nullptr);

  // No aggregation, and unknown class ids.
  HMODULE module = LoadLibraryW(options.dll.c_str());
  auto get_class_object = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  IClassFactory* factory = nullptr;
  if (get_class_object && SUCCEEDED(get_class_object(CLSID_ShockwaveFlash, IID_IClassFactory,
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
    Check(get_class_object(IID_IShockwaveFlash, IID_IClassFactory,
                           reinterpret_cast<void**>(&factory)) == CLASS_E_CLASSNOTAVAILABLE,
          "another class id: CLASS_E_CLASSNOTAVAILABLE");
  }
  FreeLibrary(module);
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
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return 1;
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
  printf("%d passed, %d failed\n", g_passed, g_failed);
  fflush(stdout);
  return g_failed == 0 ? 0 : 1;
}
