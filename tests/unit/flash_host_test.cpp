// The Flash host against two controls: the stand-in media control DLL (whose
// path comes from TAVRENSIL_STANDIN_DLL), and a scripted fake that this test
// program itself exports through DllGetClassObject, to make the control's
// steps fail and to watch the exact calls made on it.
#include "app/flash_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "scoped_env.h"

namespace {

const CLSID kClsidShockwaveFlash = {
    0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const IID kIidShockwaveFlash = {
    0xD27CDB6C, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// {BD3F23C0-D43E-11CF-893B-00AA00BDCE1A}: the document-host handler that a
// browser-style control asks its site for.
const IID kIidDocHostUIHandler = {
    0xBD3F23C0, 0xD43E, 0x11CF, {0x89, 0x3B, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x1A}};

std::wstring Hex(HRESULT code) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"0x%08lX", static_cast<unsigned long>(code));
  return buffer;
}

// "text (0x........)", built independently of the host's own formatting.
std::wstring WithCode(const std::wstring& text, HRESULT code) {
  return text + L" (" + Hex(code) + L")";
}

std::wstring SelfPath() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  std::wstring folder(buffer, length);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

std::wstring UniqueTempPath(const wchar_t* stem, const wchar_t* extension) {
  static int counter = 0;
  return TempFolder() + L"\\" + stem + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(++counter) + extension;
}

// OLE for the whole run, as the client's UI thread has it.
class OleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
  void TearDown() override { OleUninitialize(); }
};
::testing::Environment* const kOle = ::testing::AddGlobalTestEnvironment(new OleEnvironment);

// A top-level window of known client size to host the controls.
class TestWindow {
 public:
  TestWindow(int width, int height) {
    static ATOM atom = [] {
      WNDCLASSW window_class = {};
      window_class.lpfnWndProc = DefWindowProcW;
      window_class.hInstance = GetModuleHandleW(nullptr);
      window_class.lpszClassName = L"FlashHostTestWindow";
      return RegisterClassW(&window_class);
    }();
    (void)atom;
    RECT frame = {0, 0, width, height};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    handle_ = CreateWindowExW(0, L"FlashHostTestWindow", L"flash host test",
                              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, frame.right - frame.left,
                              frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW(nullptr),
                              nullptr);
  }
  ~TestWindow() {
    if (handle_) DestroyWindow(handle_);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND handle() const { return handle_; }
  RECT client() const {
    RECT rect = {};
    GetClientRect(handle_, &rect);
    return rect;
  }

 private:
  HWND handle_ = nullptr;
};

// The reference count of a COM object, read through AddRef and Release.
ULONG CountOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

}  // namespace

// ---------------------------------------------------------------------------
// The scripted fake control. It lives in this test program, which exports
// DllGetClassObject, so that loading the program's own file gives the host a
// control whose every call is recorded and whose results the test chooses.
// The program has no type library, so a Create against it never gets past
// reading one.

namespace fake {

struct Script {
  HRESULT get_class_object = S_OK;
  HRESULT create_instance = S_OK;
  HRESULT set_client_site = S_OK;
  HRESULT do_verb = S_OK;
  bool offer_inplace = true;
  bool offer_flash = true;
};

Script g_script;
std::vector<std::string> g_calls;
LONG g_controls_alive = 0;
LONG g_factories_alive = 0;
HWND g_expected_parent = nullptr;

void Record(const std::string& call) { g_calls.push_back(call); }

std::string RectText(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
         "," + std::to_string(r.bottom);
}

// The control: IOleObject, IOleInPlaceObject and a dispatch face standing in
// for IShockwaveFlash, with one count. Like a real control it keeps the
// client site and, during activation, talks to it.
class Control final : public IOleObject, public IOleInPlaceObject, public IDispatch {
 public:
  Control() { InterlockedIncrement(&g_controls_alive); }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleObject)) {
      *out = static_cast<IOleObject*>(this);
    } else if (IsEqualIID(iid, IID_IOleInPlaceObject) || IsEqualIID(iid, IID_IOleWindow)) {
      Record("QueryInterface IOleInPlaceObject");
      if (!g_script.offer_inplace) return E_NOINTERFACE;
      *out = static_cast<IOleInPlaceObject*>(this);
    } else if (IsEqualIID(iid, kIidShockwaveFlash)) {
      Record("QueryInterface IShockwaveFlash");
      if (!g_script.offer_flash) return E_NOINTERFACE;
      *out = static_cast<IDispatch*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG count = InterlockedDecrement(&refs_);
    Record("Release " + std::to_string(count));
    if (count == 0) {
      InterlockedDecrement(&g_controls_alive);
      delete this;
    }
    return count;
  }

  // IOleObject
  STDMETHODIMP SetClientSite(IOleClientSite* site) override {
    Record(site ? "SetClientSite site" : "SetClientSite null");
    if (FAILED(g_script.set_client_site)) return g_script.set_client_site;
    if (site) site->AddRef();
    if (site_) site_->Release();
    site_ = site;
    return S_OK;
  }
  STDMETHODIMP GetClientSite(IOleClientSite** site) override {
    *site = site_;
    if (site_) site_->AddRef();
    return S_OK;
  }
  STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP Close(DWORD option) override {
    Record("Close " + std::to_string(option));
    return S_OK;
  }
  STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
  STDMETHODIMP DoVerb(LONG verb, LPMSG message, IOleClientSite* site, LONG index, HWND parent,
                      LPCRECT rect) override {
    std::string call = "DoVerb " + std::to_string(verb);
    call += message ? " message" : " no-message";
    call += site == site_ ? " same-site" : " other-site";
    call += " index=" + std::to_string(index);
    call += parent == g_expected_parent ? " parent" : " other-window";
    call += rect ? " rect=" + RectText(*rect) : " no-rect";
    Record(call);
    if (FAILED(g_script.do_verb)) return g_script.do_verb;
    // What a control does on activation: find its in-place site and ask it
    // for the window and the frame, giving back what it is handed.
    IOleInPlaceSite* inplace_site = nullptr;
    if (site && SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSite,
                                               reinterpret_cast<void**>(&inplace_site)))) {
      HWND window = nullptr;
      inplace_site->GetWindow(&window);
      Record(window == g_expected_parent ? "GetWindow parent" : "GetWindow other");
      Record(inplace_site->CanInPlaceActivate() == S_OK ? "CanInPlaceActivate yes"
                                                        : "CanInPlaceActivate no");
      inplace_site->OnInPlaceActivate();
      IOleInPlaceFrame* frame = nullptr;
      IOleInPlaceUIWindow* document = nullptr;
      RECT position = {}, clip = {};
      OLEINPLACEFRAMEINFO info = {};
      info.cb = sizeof(info);
      inplace_site->GetWindowContext(&frame, &document, &position, &clip, &info);
      Record("GetWindowContext " + std::string(frame ? "frame" : "no-frame") +
             (document ? " document" : " no-document") + " position=" + RectText(position) +
             " clip=" + RectText(clip));
      if (frame) frame->Release();
      if (document) document->Release();
      inplace_site->Release();
    }
    return S_OK;
  }
  STDMETHODIMP EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
  STDMETHODIMP Update() override { return S_OK; }
  STDMETHODIMP IsUpToDate() override { return S_OK; }
  STDMETHODIMP GetUserClassID(CLSID* clsid) override {
    *clsid = kClsidShockwaveFlash;
    return S_OK;
  }
  STDMETHODIMP GetUserType(DWORD, LPOLESTR*) override { return E_NOTIMPL; }
  STDMETHODIMP SetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
  STDMETHODIMP GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
  STDMETHODIMP Advise(IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
  STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override {
    *status = 0;
    return S_OK;
  }
  STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // IOleWindow and IOleInPlaceObject
  STDMETHODIMP GetWindow(HWND* window) override {
    *window = nullptr;
    return E_FAIL;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP InPlaceDeactivate() override {
    Record("InPlaceDeactivate");
    return S_OK;
  }
  STDMETHODIMP UIDeactivate() override { return S_OK; }
  STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override {
    Record("SetObjectRects " + RectText(*position) + " " + RectText(*clip));
    return S_OK;
  }
  STDMETHODIMP ReactivateAndUndo() override { return E_NOTIMPL; }

  // IDispatch, as the IShockwaveFlash face; never called by the host.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    return E_NOTIMPL;
  }

 private:
  ~Control() {
    if (site_) site_->Release();
  }
  LONG refs_ = 1;
  IOleClientSite* site_ = nullptr;
};

class Factory final : public IClassFactory {
 public:
  Factory() { InterlockedIncrement(&g_factories_alive); }
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG count = InterlockedDecrement(&refs_);
    if (count == 0) {
      InterlockedDecrement(&g_factories_alive);
      delete this;
    }
    return count;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    Record(std::string("CreateInstance") + (outer ? " outer" : " no-outer") +
           (IsEqualIID(iid, IID_IOleObject) ? " IOleObject" : " other"));
    *out = nullptr;
    if (FAILED(g_script.create_instance)) return g_script.create_instance;
    Control* control = new Control;
    const HRESULT hr = control->QueryInterface(iid, out);
    control->Release();
    g_calls.pop_back();  // that Release is the fake's own business
    return hr;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  ~Factory() = default;
  LONG refs_ = 1;
};

}  // namespace fake

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  fake::Record(std::string("DllGetClassObject") +
               (IsEqualCLSID(clsid, kClsidShockwaveFlash) ? " Flash" : " other-class") +
               (IsEqualIID(iid, IID_IClassFactory) ? " IClassFactory" : " other-interface"));
  *out = nullptr;
  if (FAILED(fake::g_script.get_class_object)) return fake::g_script.get_class_object;
  fake::Factory* factory = new fake::Factory;
  const HRESULT hr = factory->QueryInterface(iid, out);
  factory->Release();
  return hr;
}
// Exported under its plain name on both architectures, as a control's is.
#if defined(__i386__)
__asm__(".section .drectve\n\t.ascii \" -export:DllGetClassObject=DllGetClassObject@12\"\n\t.text");
#else
__asm__(".section .drectve\n\t.ascii \" -export:DllGetClassObject\"\n\t.text");
#endif

namespace {

using Calls = std::vector<std::string>;

// ---------------------------------------------------------------------------
// FlashSite on its own. It adds only AddRef, Release and SetActiveObject to
// the faces both hosts share (OleSiteFaces), so these are the tests of that
// shared core: its faces, its counts and each of its answers, once.

class FlashSiteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(window_.handle(), nullptr); }
  TestWindow window_{320, 200};
};

TEST_F(FlashSiteTest, StartsWithTheHostsReference) {
  FlashSite* site = new FlashSite(window_.handle());
  EXPECT_EQ(site->hwnd, window_.handle());
  EXPECT_EQ(site->refs, 1);
  EXPECT_EQ(site->AddRef(), 2u);
  EXPECT_EQ(site->refs, 2);
  EXPECT_EQ(site->Release(), 1u);
  EXPECT_EQ(site->Release(), 0u);
}

TEST_F(FlashSiteTest, FacesAreInTheirOrder) {
  // The object starts with the client-site face, then the in-place site,
  // then the frame: each face's pointer lies after the one before.
  FlashSite* site = new FlashSite(window_.handle());
  const auto address = [](const void* p) { return reinterpret_cast<uintptr_t>(p); };
  IOleClientSite* client = static_cast<IOleClientSite*>(site);
  IOleInPlaceSite* inplace = static_cast<IOleInPlaceSite*>(site);
  IOleInPlaceFrame* frame = static_cast<IOleInPlaceFrame*>(site);
  EXPECT_EQ(address(client), address(site));
  EXPECT_EQ(address(inplace), address(client) + sizeof(void*));
  EXPECT_EQ(address(frame), address(inplace) + sizeof(void*));
  EXPECT_GE(address(&site->hwnd), address(frame) + sizeof(void*));
  EXPECT_GT(address(&site->refs), address(&site->hwnd));
  site->Release();
}

TEST_F(FlashSiteTest, QueryInterfaceGivesEachFace) {
  FlashSite* site = new FlashSite(window_.handle());
  struct Case {
    const char* name;
    const IID* iid;
    void* face;  // null: not offered
  };
  const Case cases[] = {
      {"IUnknown", &IID_IUnknown, static_cast<IOleClientSite*>(site)},
      {"IOleClientSite", &IID_IOleClientSite, static_cast<IOleClientSite*>(site)},
      {"IOleWindow", &IID_IOleWindow, static_cast<IOleInPlaceSite*>(site)},
      {"IOleInPlaceSite", &IID_IOleInPlaceSite, static_cast<IOleInPlaceSite*>(site)},
      {"IOleInPlaceUIWindow", &IID_IOleInPlaceUIWindow, static_cast<IOleInPlaceFrame*>(site)},
      {"IOleInPlaceFrame", &IID_IOleInPlaceFrame, static_cast<IOleInPlaceFrame*>(site)},
      {"IDocHostUIHandler", &kIidDocHostUIHandler, nullptr},
      {"IOleContainer", &IID_IOleContainer, nullptr},
      {"IDispatch", &IID_IDispatch, nullptr},
      {"IShockwaveFlash", &kIidShockwaveFlash, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    void* out = reinterpret_cast<void*>(1);
    const HRESULT hr = site->QueryInterface(*c.iid, &out);
    if (c.face) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(out, c.face);
      EXPECT_EQ(site->refs, 2) << "one reference added";
      if (out) static_cast<IUnknown*>(out)->Release();
    } else {
      EXPECT_EQ(hr, E_NOINTERFACE);
      EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(site->refs, 1);
  }
  EXPECT_EQ(site->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(site->refs, 1);
  // Any face releases the one object.
  IOleInPlaceFrame* frame = nullptr;
  ASSERT_EQ(site->QueryInterface(IID_IOleInPlaceFrame, reinterpret_cast<void**>(&frame)), S_OK);
  EXPECT_EQ(frame->AddRef(), 3u);
  EXPECT_EQ(frame->Release(), 2u);
  EXPECT_EQ(frame->Release(), 1u);
  EXPECT_EQ(site->Release(), 0u);
}

TEST_F(FlashSiteTest, MethodResults) {
  FlashSite* site = new FlashSite(window_.handle());
  IOleClientSite* client = site;
  IOleInPlaceSite* inplace = site;
  IOleInPlaceFrame* frame = site;
  struct Case {
    const char* name;
    HRESULT result;
    HRESULT expected;
  };
  RECT rect = {};
  BORDERWIDTHS widths = {};
  SIZE extent = {1, 1};
  MSG message = {};
  OLEMENUGROUPWIDTHS groups = {};
  HMENU menu = CreateMenu();
  IMoniker* moniker = nullptr;
  IOleContainer* container = reinterpret_cast<IOleContainer*>(1);
  HWND window = nullptr;
  // One row an answer: the methods of IOleWindow reach the same code from
  // the in-place face and from the frame face.
  const Case cases[] = {
      {"SaveObject", client->SaveObject(), E_NOTIMPL},
      {"GetMoniker", client->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_OBJREL, &moniker),
       E_NOTIMPL},
      {"GetContainer", client->GetContainer(&container), E_NOINTERFACE},
      {"GetContainer, no out", client->GetContainer(nullptr), E_NOINTERFACE},
      {"ShowObject", client->ShowObject(), S_OK},
      {"OnShowWindow", client->OnShowWindow(TRUE), S_OK},
      {"RequestNewObjectLayout", client->RequestNewObjectLayout(), E_NOTIMPL},
      {"GetWindow", inplace->GetWindow(&window), S_OK},
      {"GetWindow, no out", inplace->GetWindow(nullptr), E_POINTER},
      {"ContextSensitiveHelp", inplace->ContextSensitiveHelp(TRUE), E_NOTIMPL},
      {"CanInPlaceActivate", inplace->CanInPlaceActivate(), S_OK},
      {"OnInPlaceActivate", inplace->OnInPlaceActivate(), S_OK},
      {"OnUIActivate", inplace->OnUIActivate(), S_OK},
      {"Scroll", inplace->Scroll(extent), E_NOTIMPL},
      {"OnUIDeactivate", inplace->OnUIDeactivate(FALSE), S_OK},
      {"OnInPlaceDeactivate", inplace->OnInPlaceDeactivate(), S_OK},
      {"DiscardUndoState", inplace->DiscardUndoState(), S_OK},
      {"DeactivateAndUndo", inplace->DeactivateAndUndo(), S_OK},
      {"OnPosRectChange", inplace->OnPosRectChange(&rect), S_OK},
      {"GetBorder", frame->GetBorder(&rect), E_NOTIMPL},
      {"RequestBorderSpace", frame->RequestBorderSpace(&widths), E_NOTIMPL},
      {"SetBorderSpace", frame->SetBorderSpace(&widths), E_NOTIMPL},
      {"SetActiveObject (the site's own)", frame->SetActiveObject(nullptr, L"x"), S_OK},
      {"InsertMenus", frame->InsertMenus(menu, &groups), E_NOTIMPL},
      {"SetMenu", frame->SetMenu(menu, nullptr, window_.handle()), S_OK},
      {"RemoveMenus", frame->RemoveMenus(menu), E_NOTIMPL},
      {"SetStatusText", frame->SetStatusText(L"status"), S_OK},
      {"EnableModeless", frame->EnableModeless(TRUE), S_OK},
      {"TranslateAccelerator", frame->TranslateAccelerator(&message, 0), S_FALSE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(c.result), Hex(c.expected)) << c.name;
  }
  EXPECT_EQ(container, nullptr) << "no container, and the out says so";
  EXPECT_EQ(window, window_.handle());
  EXPECT_EQ(site->refs, 1) << "no method keeps a reference";
  DestroyMenu(menu);
  site->Release();
}

TEST_F(FlashSiteTest, GetWindowContext) {
  FlashSite* site = new FlashSite(window_.handle());
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* document = reinterpret_cast<IOleInPlaceUIWindow*>(1);
  RECT position = {-1, -1, -1, -1};
  RECT clip = {-1, -1, -1, -1};
  OLEINPLACEFRAMEINFO info;
  std::memset(&info, 0xAB, sizeof(info));
  info.cb = 1234;  // the caller's, left alone
  ASSERT_EQ(site->GetWindowContext(&frame, &document, &position, &clip, &info), S_OK);
  EXPECT_EQ(frame, static_cast<IOleInPlaceFrame*>(site));
  EXPECT_EQ(site->refs, 2) << "the frame comes with a reference";
  EXPECT_EQ(document, nullptr);
  const RECT client = window_.client();
  EXPECT_TRUE(EqualRect(&position, &client));
  EXPECT_TRUE(EqualRect(&clip, &client));
  EXPECT_EQ(client.right, 320);
  EXPECT_EQ(client.bottom, 200);
  EXPECT_EQ(info.cb, 1234u);
  EXPECT_EQ(info.fMDIApp, FALSE);
  EXPECT_EQ(info.hwndFrame, window_.handle());
  EXPECT_EQ(info.haccel, nullptr);
  EXPECT_EQ(info.cAccelEntries, 0u);
  frame->Release();

  // Null outputs are skipped, not written.
  EXPECT_EQ(site->GetWindowContext(nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(site->refs, 1);
  EXPECT_EQ(site->Release(), 0u);
}

// ---------------------------------------------------------------------------
// The host against the fake control.

class FakeControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(window_.handle(), nullptr);
    fake::g_script = fake::Script();
    fake::g_calls.clear();
    fake::g_expected_parent = window_.handle();
    // The program has no type library: that is where a Create against the
    // fake stops, with this code.
    ITypeLib* library = nullptr;
    no_library_ = LoadTypeLibEx(self_.c_str(), REGKIND_NONE, &library);
    if (library) library->Release();
  }
  void TearDown() override {
    host_.Destroy();
    EXPECT_EQ(fake::g_controls_alive, 0) << "a control was leaked";
    EXPECT_EQ(fake::g_factories_alive, 0) << "a class factory was leaked";
  }

  std::string ExpectedDoVerb() const {
    const RECT c = window_.client();
    return "DoVerb -5 no-message same-site index=0 parent rect=" + fake::RectText(c);
  }
  std::string ExpectedContext() const {
    const std::string c = fake::RectText(window_.client());
    return "GetWindowContext frame no-document position=" + c + " clip=" + c;
  }

  TestWindow window_{400, 300};
  const std::wstring self_ = SelfPath();
  HRESULT no_library_ = S_OK;
  FlashHost host_;
};

TEST_F(FakeControlTest, ActivationCallsInOrder) {
  ASSERT_TRUE(FAILED(no_library_));
  EXPECT_FALSE(host_.Create(window_.handle(), self_));
  EXPECT_EQ(host_.last_error, WithCode(L"Flash tur kitapligi okunamadi", no_library_));
  const Calls expected = {
      "DllGetClassObject Flash IClassFactory",
      "CreateInstance no-outer IOleObject",
      "SetClientSite site",
      ExpectedDoVerb(),
      "GetWindow parent",
      "CanInPlaceActivate yes",
      ExpectedContext(),
      "QueryInterface IOleInPlaceObject",
      "QueryInterface IShockwaveFlash",
  };
  EXPECT_EQ(fake::g_calls, expected);
  EXPECT_EQ(fake::g_factories_alive, 0) << "the factory is released after use";
  EXPECT_EQ(host_.module, GetModuleHandleW(nullptr));
  EXPECT_EQ(host_.parent, window_.handle());
  ASSERT_NE(host_.site, nullptr);
  EXPECT_EQ(host_.site->hwnd, window_.handle());
  EXPECT_EQ(host_.site->refs, 2) << "the host's and the control's";
  EXPECT_NE(host_.ole_object, nullptr);
  EXPECT_NE(host_.inplace_object, nullptr);
  EXPECT_NE(host_.flash, nullptr);
  EXPECT_EQ(host_.type_info, nullptr);
  // Three owned references: the object, its in-place face, its Flash face.
  EXPECT_EQ(CountOf(host_.ole_object), 3u);
}

TEST_F(FakeControlTest, DestroyReleasesAHalfBuiltHostInOrder) {
  ASSERT_FALSE(host_.Create(window_.handle(), self_));
  FlashSite* site = host_.site;
  ASSERT_NE(site, nullptr);
  EXPECT_EQ(site->AddRef(), 3u);  // the host's, the control's and ours
  fake::g_calls.clear();
  host_.Destroy();
  const Calls expected = {
      "Release 2",  // flash
      "InPlaceDeactivate",
      "Release 1",  // inplace_object
      "Close 1",    // OLECLOSE_NOSAVE
      "SetClientSite null",
      "Release 0",  // ole_object: the control is gone
  };
  EXPECT_EQ(fake::g_calls, expected);
  EXPECT_EQ(fake::g_controls_alive, 0);
  EXPECT_EQ(site->refs, 1) << "only our reference is left";
  EXPECT_EQ(host_.ole_object, nullptr);
  EXPECT_EQ(host_.inplace_object, nullptr);
  EXPECT_EQ(host_.flash, nullptr);
  EXPECT_EQ(host_.site, nullptr);
  EXPECT_EQ(host_.module, GetModuleHandleW(nullptr)) << "the module stays";
  EXPECT_EQ(host_.parent, window_.handle());
  EXPECT_EQ(host_.last_error, WithCode(L"Flash tur kitapligi okunamadi", no_library_));
  EXPECT_EQ(site->Release(), 0u);

  fake::g_calls.clear();
  host_.Destroy();
  EXPECT_TRUE(fake::g_calls.empty()) << "a second Destroy does nothing";
}

// The host's text for each step of Create that can fail before the type
// library, and what its Destroy then releases. (That the stand-in's failure
// switches fail these steps is standin_check's to show.)
TEST_F(FakeControlTest, EachFailingStep) {
  struct Case {
    const char* name;
    void (*script)(fake::Script*);
    std::wstring expected;
    bool has_object;  // whether a half-built control is left
    Calls destroy;    // the calls its Destroy makes
  };
  const Case cases[] = {
      {"no class factory",
       [](fake::Script* s) { s->get_class_object = CLASS_E_CLASSNOTAVAILABLE; },
       WithCode(L"Flash sinif fabrikasi alinamadi", CLASS_E_CLASSNOTAVAILABLE),
       false,
       {}},
      {"no object",
       [](fake::Script* s) { s->create_instance = E_OUTOFMEMORY; },
       WithCode(L"Flash nesnesi olusturulamadi", E_OUTOFMEMORY),
       false,
       {}},
      {"site refused",
       [](fake::Script* s) { s->set_client_site = E_UNEXPECTED; },
       WithCode(L"SetClientSite", E_UNEXPECTED),
       true,
       {"Close 1", "SetClientSite null", "Release 0"}},
      {"activation refused",
       [](fake::Script* s) { s->do_verb = OLEOBJ_E_INVALIDVERB; },
       WithCode(L"Flash etkinlestirilemedi", OLEOBJ_E_INVALIDVERB),
       true,
       {"Close 1", "SetClientSite null", "Release 0"}},
      {"no IShockwaveFlash",
       [](fake::Script* s) { s->offer_flash = false; },
       WithCode(L"IShockwaveFlash yok", E_NOINTERFACE),
       true,
       {"InPlaceDeactivate", "Release 1", "Close 1", "SetClientSite null", "Release 0"}},
      {"neither IShockwaveFlash nor in-place",
       [](fake::Script* s) {
         s->offer_flash = false;
         s->offer_inplace = false;
       },
       WithCode(L"IShockwaveFlash yok", E_NOINTERFACE),
       true,
       {"Close 1", "SetClientSite null", "Release 0"}},
      {"no in-place interface: goes on to the type library",
       [](fake::Script* s) { s->offer_inplace = false; },
       WithCode(L"Flash tur kitapligi okunamadi", no_library_),
       true,
       {"Release 1", "Close 1", "SetClientSite null", "Release 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::g_script = fake::Script();
    c.script(&fake::g_script);
    fake::g_calls.clear();
    host_.last_error = L"earlier";
    EXPECT_FALSE(host_.Create(window_.handle(), self_));
    EXPECT_EQ(host_.last_error, c.expected);
    EXPECT_EQ(fake::g_factories_alive, 0);
    EXPECT_EQ(host_.ole_object != nullptr, c.has_object);
    EXPECT_EQ(host_.site != nullptr, c.has_object);
    EXPECT_EQ(host_.type_info, nullptr);
    EXPECT_EQ(host_.SetProperty(L"Movie", L"x"), false);
    EXPECT_EQ(host_.GetLong(L"ReadyState"), -1);
    EXPECT_EQ(host_.last_error, c.expected) << "untouched by the calls on a broken host";
    host_.Resize(10, 10);  // harmless whatever is there

    fake::g_calls.clear();
    FlashSite* site = host_.site;
    if (site) site->AddRef();
    host_.Destroy();
    // The record shows the control's own calls; SetObjectRects from the
    // Resize above is not among them.
    Calls calls = fake::g_calls;
    EXPECT_EQ(calls, c.destroy);
    EXPECT_EQ(fake::g_controls_alive, 0);
    if (site) {
      EXPECT_EQ(site->Release(), 0u) << "the site is free after Destroy";
    }
  }
}

TEST_F(FakeControlTest, ResizeAfterPartialActivation) {
  ASSERT_FALSE(host_.Create(window_.handle(), self_));
  ASSERT_NE(host_.inplace_object, nullptr);
  fake::g_calls.clear();
  host_.Resize(123, 45);
  EXPECT_EQ(fake::g_calls, (Calls{"SetObjectRects 0,0,123,45 0,0,123,45"}));
}

TEST_F(FakeControlTest, CreateAgainReleasesWhatAFailedAttemptLeft) {
  fake::g_script.do_verb = E_FAIL;
  ASSERT_FALSE(host_.Create(window_.handle(), self_));
  FlashSite* old_site = host_.site;
  ASSERT_NE(old_site, nullptr);
  old_site->AddRef();

  fake::g_script = fake::Script();
  fake::g_calls.clear();
  EXPECT_FALSE(host_.Create(window_.handle(), self_));  // stops at the type library again
  ASSERT_GE(fake::g_calls.size(), 4u);
  const Calls released(fake::g_calls.begin(), fake::g_calls.begin() + 3);
  EXPECT_EQ(released, (Calls{"Close 1", "SetClientSite null", "Release 0"}))
      << "the old control goes before the new one is made";
  EXPECT_EQ(fake::g_calls[3], "DllGetClassObject Flash IClassFactory");
  EXPECT_NE(host_.site, nullptr);
  EXPECT_EQ(old_site->refs, 1) << "the host let go of the old site";
  EXPECT_EQ(old_site->Release(), 0u);
  EXPECT_EQ(fake::g_controls_alive, 1) << "only the new control is alive";
}

// ---------------------------------------------------------------------------
// The host against the stand-in media control.

std::wstring StandinPath() {
  const char* value = std::getenv("TAVRENSIL_STANDIN_DLL");
  if (!value || !*value) return std::wstring();
  std::wstring path(value, value + std::strlen(value));
  if (path.size() > 1 && path[1] == L':') return path;  // already a Windows path
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return L"Z:" + path;
}

// The stand-in's event record, one UTF-8 line per event.
class Record {
 public:
  Record()
      : path_(UniqueTempPath(L"flash_host_record", L".txt")),
        env_(L"TAVRENSIL_STANDIN_RECORD", path_.c_str()) {}
  ~Record() { DeleteFileW(path_.c_str()); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  // Every line so far, without the ones from the control's own threads and
  // window (downloads, focus) unless `all`.
  Calls Lines(bool all = false) const {
    Calls lines;
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      text.append(buffer, read);
    }
    CloseHandle(file);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      const std::string word = line.substr(0, line.find(' '));
      if (!all && (word == "loading" || word == "loaded" || word == "load_failed" ||
                   word == "focus" || word == "blur")) {
        continue;
      }
      lines.push_back(line);
    }
    return lines;
  }

  // The lines after the first `count`.
  Calls LinesAfter(size_t count) const {
    const Calls lines = Lines();
    return Calls(lines.begin() + std::min(count, lines.size()), lines.end());
  }

 private:
  std::wstring path_;
  ScopedEnv env_;
};

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                      nullptr, nullptr);
  return result;
}

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dll_.empty()) << "TAVRENSIL_STANDIN_DLL is not set";
    ASSERT_NE(GetFileAttributesW(dll_.c_str()), INVALID_FILE_ATTRIBUTES)
        << "no stand-in at " << ::testing::PrintToString(dll_);
    ASSERT_NE(window_.handle(), nullptr);
    const RECT client = window_.client();
    ASSERT_EQ(client.right, 640);
    ASSERT_EQ(client.bottom, 480);
  }

  const std::wstring dll_ = StandinPath();
  ScopedEnv no_failures_{L"TAVRENSIL_STANDIN_FAIL", nullptr};
  Record record_;
  TestWindow window_{640, 480};
};

TEST_F(StandinTest, CreateActivatesAndFitsTheControl) {
  FlashHost host;
  host.last_error = L"from before";
  ASSERT_TRUE(host.Create(window_.handle(), dll_)) << ::testing::PrintToString(host.last_error);
  EXPECT_EQ(host.last_error, L"from before") << "success leaves the text alone";
  EXPECT_EQ(record_.Lines(),
            (Calls{"class_object", "create", "set_client_site", "activate", "rects 0,0,640,480"}));
  EXPECT_NE(host.module, nullptr);
  EXPECT_EQ(host.module, GetModuleHandleW(dll_.c_str()));
  EXPECT_NE(host.ole_object, nullptr);
  EXPECT_NE(host.inplace_object, nullptr);
  EXPECT_NE(host.flash, nullptr);
  ASSERT_NE(host.type_info, nullptr);
  ASSERT_NE(host.site, nullptr);
  EXPECT_EQ(host.parent, window_.handle());
  EXPECT_EQ(host.site->hwnd, window_.handle());
  EXPECT_GE(host.site->refs, 2) << "the host's and the control's";
  // The control's window is a child of ours.
  EXPECT_NE(FindWindowExW(window_.handle(), nullptr, L"MacromediaFlashPlayerActiveX", nullptr),
            nullptr);

  // The kept description is the interface's vtable one, not the dispatch one.
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(host.type_info->GetTypeAttr(&attributes), S_OK);
  EXPECT_EQ(attributes->typekind, TKIND_INTERFACE);
  EXPECT_TRUE(IsEqualGUID(attributes->guid, kIidShockwaveFlash));
  host.type_info->ReleaseTypeAttr(attributes);

  // The instance is the control's IShockwaveFlash face.
  IUnknown* queried = nullptr;
  ASSERT_EQ(host.ole_object->QueryInterface(kIidShockwaveFlash, reinterpret_cast<void**>(&queried)),
            S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(host.flash), queried);
  queried->Release();
}

TEST_F(StandinTest, ResizeMovesTheControl) {
  FlashHost host;
  ASSERT_TRUE(host.Create(window_.handle(), dll_));
  const size_t before = record_.Lines().size();
  host.Resize(800, 500);
  host.Resize(0, 0);
  EXPECT_EQ(record_.LinesAfter(before), (Calls{"rects 0,0,800,500", "rects 0,0,0,0"}));
}

TEST_F(StandinTest, SetProperty) {
  FlashHost host;
  ASSERT_TRUE(host.Create(window_.handle(), dll_));
  const std::wstring long_value(5000, L'v');
  struct Case {
    const char* name;
    const wchar_t* property;
    std::wstring value;
    std::string line;
  };
  const Case cases[] = {
      {"WMode", L"WMode", L"direct", "put WMode=direct"},
      {"Quality2", L"Quality2", L"high", "put Quality2=high"},
      {"AllowScriptAccess", L"AllowScriptAccess", L"always", "put AllowScriptAccess=always"},
      {"AllowFullScreen", L"AllowFullScreen", L"true", "put AllowFullScreen=true"},
      {"AllowFullScreenInteractive", L"AllowFullScreenInteractive", L"true",
       "put AllowFullScreenInteractive=true"},
      {"FlashVars", L"FlashVars", L"a=1&b=x%20y", "put FlashVars=a=1&b=x%20y"},
      {"Quality", L"Quality", L"low", "put Quality=low"},
      {"ScaleMode", L"ScaleMode", L"noScale", "put ScaleMode=noScale"},
      {"AllowNetworking", L"AllowNetworking", L"all", "put AllowNetworking=all"},
      {"empty value", L"FlashVars", L"", "put FlashVars="},
      {"Turkish letters", L"FlashVars", L"ad=\u015eim\u015fek \u0130\u011f\u00fc\u00e7",
       "put FlashVars=" + Utf8(L"ad=\u015eim\u015fek \u0130\u011f\u00fc\u00e7")},
      {"line breaks", L"FlashVars", L"a\r\nb", "put FlashVars=a\\r\\nb"},
      {"a long value, whole", L"FlashVars", long_value, "put FlashVars=" + Utf8(long_value)},
      {"name in other case", L"wmode", L"opaque", "put WMode=opaque"},
      {"Movie, a file that is not there", L"Movie", L"C:\\no\\such\\movie.swf",
       "put Movie=C:\\no\\such\\movie.swf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = record_.Lines().size();
    host.last_error = L"untouched";
    EXPECT_TRUE(host.SetProperty(c.property, c.value));
    EXPECT_EQ(host.last_error, L"untouched");
    EXPECT_EQ(record_.LinesAfter(before), Calls{c.line});
  }
}

TEST_F(StandinTest, SetPropertyFailures) {
  FlashHost host;
  ASSERT_TRUE(host.Create(window_.handle(), dll_));
  ScopedEnv fail(L"TAVRENSIL_STANDIN_FAIL", L"property:WMode");
  const std::wstring long_name(200, L'N');
  struct Case {
    const char* name;
    const wchar_t* property;
    std::wstring expected;
    Calls lines;
  };
  const Case cases[] = {
      {"unknown name", L"NoSuchProperty", L"NoSuchProperty (0x80020006)", {}},
      {"empty name", L"", L" (0x80020006)", {}},
      {"refused value", L"WMode", L"WMode (0x80020009)", {"put WMode=gpu fail 0x80070057"}},
      {"refused, other case", L"wMODE", L"wMODE (0x80020009)", {"put WMode=gpu fail 0x80070057"}},
      // The text is made in a 128-character buffer.
      {"a name too long for the text", long_name.c_str(), std::wstring(127, L'N'), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = record_.Lines().size();
    host.last_error.clear();
    EXPECT_FALSE(host.SetProperty(c.property, L"gpu"));
    EXPECT_EQ(host.last_error, c.expected);
    EXPECT_EQ(record_.LinesAfter(before), c.lines);
  }
  // A property without a setter: the name is known, the put is not.
  host.last_error.clear();
  EXPECT_FALSE(host.SetProperty(L"ReadyState", L"4"));
  EXPECT_EQ(host.last_error, L"ReadyState (0x80020003)") << "DISP_E_MEMBERNOTFOUND";
  // And the failing one works again without the switch.
  SetEnvironmentVariableW(L"TAVRENSIL_STANDIN_FAIL", nullptr);
  EXPECT_TRUE(host.SetProperty(L"WMode", L"gpu"));
}

// A minimal uncompressed movie header: 20000 x 12000 twips (1000 x 600
// pixels), 24 frames a second, `frames` frames.
std::string MovieHeader(int frames) {
  std::string bits = "10000";  // 16 bits per field
  for (int value : {0, 20000, 0, 12000}) {
    for (int bit = 15; bit >= 0; --bit) bits += ((value >> bit) & 1) ? '1' : '0';
  }
  while (bits.size() % 8) bits += '0';
  std::string movie = "FWS";
  movie += static_cast<char>(10);
  std::string body;
  for (size_t i = 0; i < bits.size(); i += 8) {
    body += static_cast<char>(std::stoi(bits.substr(i, 8), nullptr, 2));
  }
  body += '\0';
  body += static_cast<char>(24);
  body += static_cast<char>(frames & 0xFF);
  body += static_cast<char>(frames >> 8);
  const unsigned length = static_cast<unsigned>(8 + body.size());
  for (int i = 0; i < 4; ++i) movie += static_cast<char>((length >> (8 * i)) & 0xFF);
  return movie + body;
}

TEST_F(StandinTest, GetLong) {
  FlashHost host;
  ASSERT_TRUE(host.Create(window_.handle(), dll_));
  EXPECT_EQ(host.GetLong(L"ReadyState"), 0) << "no movie yet";
  EXPECT_EQ(host.GetLong(L"TotalFrames"), 0);
  EXPECT_GE(host.GetLong(L"FrameNum"), 0);

  // A movie file of 48 frames: once it has arrived, the numbers say so.
  const std::wstring movie = UniqueTempPath(L"flash_host_movie", L".swf");
  {
    const std::string bytes = MovieHeader(48);
    HANDLE file = CreateFileW(movie.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  ASSERT_TRUE(host.SetProperty(L"Movie", movie));
  long ready = -1;
  for (int i = 0; i < 500 && ready != 4; ++i) {
    PumpMessages();
    Sleep(10);
    ready = host.GetLong(L"ReadyState");
  }
  EXPECT_EQ(ready, 4);
  EXPECT_EQ(host.GetLong(L"TotalFrames"), 48);
  const long frame = host.GetLong(L"FrameNum");
  EXPECT_GE(frame, 0);
  EXPECT_LT(frame, 48);
  DeleteFileW(movie.c_str());

  const size_t before = record_.Lines().size();
  struct Case {
    const char* name;
    const wchar_t* property;
    const wchar_t* text;  // set first, when not null
    long expected;
  };
  const Case cases[] = {
      {"a number", L"TotalFrames", nullptr, 48},
      {"name in other case", L"totalframes", nullptr, 48},
      {"numeric text", L"Quality", L"123", 123},
      {"negative numeric text", L"Quality", L"-7", -7},
      {"text that is no number", L"Quality", L"high", -1},
      {"empty text", L"Quality", L"", -1},
      {"a number too large", L"Quality", L"99999999999", -1},
      {"unknown name", L"NoSuchProperty", nullptr, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.text) {
      ASSERT_TRUE(host.SetProperty(c.property, c.text));
    }
    host.last_error = L"untouched";
    EXPECT_EQ(host.GetLong(c.property), c.expected);
    EXPECT_EQ(host.last_error, L"untouched");
  }
  // The reads reached the control as property gets.
  const Calls after = record_.LinesAfter(before);
  EXPECT_NE(std::find(after.begin(), after.end(), "get TotalFrames=48"), after.end());
  EXPECT_NE(std::find(after.begin(), after.end(), "get Quality=123"), after.end());

  ScopedEnv fail(L"TAVRENSIL_STANDIN_FAIL", L"get:TotalFrames");
  EXPECT_EQ(host.GetLong(L"TotalFrames"), -1) << "a refused read";
  EXPECT_EQ(record_.Lines().back(), "get TotalFrames fail 0x80004005");
}

TEST_F(StandinTest, DestroyReleasesEverythingInOrder) {
  FlashHost host;
  ASSERT_TRUE(host.Create(window_.handle(), dll_));
  // Our own references, to see what the host leaves behind.
  IOleObject* object = host.ole_object;
  FlashSite* site = host.site;
  EXPECT_GE(object->AddRef(), 4u) << "the host holds three: object, in-place and Flash faces";
  EXPECT_GE(site->AddRef(), 3u) << "the host's, the control's and ours";
  const size_t before = record_.Lines().size();

  host.Destroy();
  EXPECT_EQ(record_.LinesAfter(before), (Calls{"deactivate", "close", "set_client_site null"}))
      << "InPlaceDeactivate, Close and SetClientSite(null); the object stays for our reference";
  EXPECT_EQ(host.type_info, nullptr);
  EXPECT_EQ(host.flash, nullptr);
  EXPECT_EQ(host.inplace_object, nullptr);
  EXPECT_EQ(host.ole_object, nullptr);
  EXPECT_EQ(host.site, nullptr);
  EXPECT_NE(host.module, nullptr) << "the file stays loaded";
  EXPECT_EQ(host.parent, window_.handle());
  EXPECT_EQ(FindWindowExW(window_.handle(), nullptr, L"MacromediaFlashPlayerActiveX", nullptr),
            nullptr)
      << "the control's window is gone";

  EXPECT_EQ(site->refs, 1) << "the host and the control let go of the site";
  EXPECT_EQ(site->Release(), 0u);
  EXPECT_EQ(object->Release(), 0u) << "the host kept no reference to the control";
  EXPECT_EQ(record_.Lines().back(), "release");

  const size_t after = record_.Lines().size();
  host.Destroy();
  EXPECT_EQ(record_.Lines().size(), after) << "a second Destroy does nothing";
}

TEST_F(StandinTest, CreateAgainAfterDestroy) {
  FlashHost host;
  ASSERT_TRUE(host.Create(window_.handle(), dll_));
  const HMODULE first = host.module;
  host.Destroy();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const size_t before = record_.Lines().size();
    ASSERT_TRUE(host.Create(window_.handle(), dll_)) << ::testing::PrintToString(host.last_error);
    EXPECT_EQ(host.module, first) << "the same loaded file";
    EXPECT_TRUE(host.SetProperty(L"WMode", L"opaque"));
    EXPECT_EQ(host.GetLong(L"ReadyState"), 0);
    host.Destroy();
    EXPECT_EQ(record_.LinesAfter(before),
              (Calls{"class_object", "create", "set_client_site", "activate", "rects 0,0,640,480",
                     "put WMode=opaque", "get ReadyState=0", "deactivate", "close",
                     "set_client_site null", "release"}));
  }
}

TEST_F(StandinTest, TheDestructorReleasesTheControl) {
  {
    FlashHost host;
    ASSERT_TRUE(host.Create(window_.handle(), dll_));
  }
  EXPECT_EQ(record_.Lines(),
            (Calls{"class_object", "create", "set_client_site", "activate", "rects 0,0,640,480",
                   "deactivate", "close", "set_client_site null", "release"}));
}

TEST_F(StandinTest, CreateAgainAfterAFailedCreate) {
  FlashHost host;
  FlashSite* old_site = nullptr;
  IOleObject* old_object = nullptr;
  {
    ScopedEnv fail(L"TAVRENSIL_STANDIN_FAIL", L"activate");
    ASSERT_FALSE(host.Create(window_.handle(), dll_));
    old_site = host.site;
    old_object = host.ole_object;
    ASSERT_NE(old_site, nullptr);
    ASSERT_NE(old_object, nullptr);
    EXPECT_EQ(old_site->AddRef(), 3u);  // host, control, us
    old_object->AddRef();
  }
  const size_t before = record_.Lines().size();
  ASSERT_TRUE(host.Create(window_.handle(), dll_)) << ::testing::PrintToString(host.last_error);
  EXPECT_EQ(record_.LinesAfter(before),
            (Calls{"close", "set_client_site null", "class_object", "create", "set_client_site",
                   "activate", "rects 0,0,640,480"}))
      << "the half-built control is let go before the new one is made";
  EXPECT_NE(host.site, old_site);
  EXPECT_EQ(old_site->refs, 1) << "only our reference is left";
  EXPECT_EQ(old_site->Release(), 0u);
  EXPECT_EQ(old_object->Release(), 0u) << "the host let go of the old control";
  EXPECT_EQ(record_.Lines().back(), "release");
  EXPECT_TRUE(host.SetProperty(L"Movie", L""));
}

// A copy of the stand-in whose resources are replaced: `type_library` is the
// new TYPELIB 1, or empty for none at all.
std::wstring StandinCopy(const std::wstring& dll, const std::vector<char>& type_library) {
  const std::wstring copy = UniqueTempPath(L"flash_host_standin", L".ocx");
  if (!CopyFileW(dll.c_str(), copy.c_str(), FALSE)) return std::wstring();
  HANDLE update = BeginUpdateResourceW(copy.c_str(), TRUE);
  if (!update) return std::wstring();
  if (!type_library.empty()) {
    UpdateResourceW(
        update, L"TYPELIB", MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
        const_cast<char*>(type_library.data()), static_cast<DWORD>(type_library.size()));
  }
  if (!EndUpdateResourceW(update, FALSE)) return std::wstring();
  return copy;
}

// A type library that describes one interface, but not IShockwaveFlash.
std::vector<char> OtherTypeLibrary() {
  std::vector<char> bytes;
  const std::wstring path = UniqueTempPath(L"flash_host_other", L".tlb");
  ICreateTypeLib2* creator = nullptr;
  if (FAILED(CreateTypeLib2(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, path.c_str(), &creator))) {
    return bytes;
  }
  const GUID library_id = {
      0x1B6A52F4, 0x2C1D, 0x4E7A, {0x9D, 0x11, 0x30, 0x5E, 0x6F, 0x70, 0x81, 0x92}};
  const GUID other_id = {
      0x1B6A52F5, 0x2C1D, 0x4E7A, {0x9D, 0x11, 0x30, 0x5E, 0x6F, 0x70, 0x81, 0x92}};
  creator->SetGuid(library_id);
  creator->SetName(const_cast<LPOLESTR>(L"OtherLib"));
  creator->SetLcid(LOCALE_NEUTRAL);
  creator->SetVersion(1, 0);
  ICreateTypeInfo* other = nullptr;
  if (SUCCEEDED(
          creator->CreateTypeInfo(const_cast<LPOLESTR>(L"IOther"), TKIND_INTERFACE, &other))) {
    other->SetGuid(other_id);
    other->Release();
  }
  const HRESULT saved = creator->SaveAllChanges();
  creator->Release();
  if (SUCCEEDED(saved)) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      bytes.resize(GetFileSize(file, nullptr));
      DWORD read = 0;
      ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
      bytes.resize(read);
      CloseHandle(file);
    }
  }
  DeleteFileW(path.c_str());
  return bytes;
}

TEST_F(StandinTest, TypeLibraryFailures) {
  const std::vector<char> other = OtherTypeLibrary();
  ASSERT_FALSE(other.empty());
  struct Case {
    const char* name;
    std::vector<char> library;
    const wchar_t* text;
  };
  const Case cases[] = {
      {"no type library", {}, L"Flash tur kitapligi okunamadi"},
      {"a type library without the interface", other, L"IShockwaveFlash tur bilgisi yok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring copy = StandinCopy(dll_, c.library);
    ASSERT_FALSE(copy.empty());
    // The code the platform gives for this file, found independently.
    ITypeLib* library = nullptr;
    HRESULT code = LoadTypeLibEx(copy.c_str(), REGKIND_NONE, &library);
    if (library) {
      ITypeInfo* info = nullptr;
      code = library->GetTypeInfoOfGuid(kIidShockwaveFlash, &info);
      if (info) info->Release();
      library->Release();
    }
    ASSERT_TRUE(FAILED(code));

    const size_t before = record_.Lines().size();
    FlashHost host;
    EXPECT_FALSE(host.Create(window_.handle(), copy));
    EXPECT_EQ(host.last_error, WithCode(c.text, code));
    EXPECT_EQ(record_.LinesAfter(before),
              (Calls{"class_object", "create", "set_client_site", "activate"}));
    EXPECT_NE(host.flash, nullptr);
    EXPECT_EQ(host.type_info, nullptr);
    EXPECT_FALSE(host.SetProperty(L"Movie", L"x"));
    const size_t created = record_.Lines().size();
    host.Destroy();
    EXPECT_EQ(record_.LinesAfter(created),
              (Calls{"deactivate", "close", "set_client_site null", "release"}));
    // The host never unloads a control file; the test does, to clean up.
    FreeLibrary(host.module);
    DeleteFileW(copy.c_str());
  }
}

// ---------------------------------------------------------------------------
// Loading failures, before any control code runs.

TEST(FlashHostLoad, Failures) {
  TestWindow window(200, 100);
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring not_a_dll = UniqueTempPath(L"flash_host_test", L".ocx");
  {
    HANDLE file = CreateFileW(not_a_dll.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const char text[] = "this is not a library\r\n";
    DWORD written = 0;
    WriteFile(file, text, sizeof(text) - 1, &written, nullptr);
    CloseHandle(file);
  }
  struct Case {
    const char* name;
    std::wstring path;
    std::wstring expected;
  };
  const Case cases[] = {
      {"missing file", TempFolder() + L"\\no_such_control_file.ocx",
       L"Flash.ocx yuklenemedi (0x8007007E)"},
      {"not a DLL", not_a_dll, L"Flash.ocx yuklenemedi (0x800700C1)"},
      {"a DLL without the export", std::wstring(system) + L"\\version.dll",
       L"Flash.ocx icinde DllGetClassObject yok"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlashHost host;
    EXPECT_FALSE(host.Create(window.handle(), c.path));
    EXPECT_EQ(host.last_error, c.expected);
    EXPECT_EQ(host.parent, window.handle());
    EXPECT_EQ(host.ole_object, nullptr);
    EXPECT_EQ(host.site, nullptr);
    host.Destroy();
    host.Destroy();
  }
  DeleteFileW(not_a_dll.c_str());
}

TEST(FlashHostEmpty, EverythingIsHarmless) {
  FlashHost host;
  host.last_error = L"kept";
  EXPECT_FALSE(host.SetProperty(L"Movie", L"x"));
  EXPECT_EQ(host.GetLong(L"ReadyState"), -1);
  EXPECT_EQ(host.last_error, L"kept");
  host.Resize(100, 100);
  host.Destroy();
  host.Destroy();
  EXPECT_EQ(host.module, nullptr);
  EXPECT_EQ(host.ole_object, nullptr);
  EXPECT_EQ(host.inplace_object, nullptr);
  EXPECT_EQ(host.flash, nullptr);
  EXPECT_EQ(host.type_info, nullptr);
  EXPECT_EQ(host.site, nullptr);
  EXPECT_EQ(host.parent, nullptr);
  EXPECT_EQ(host.last_error, L"kept");
}

}  // namespace
