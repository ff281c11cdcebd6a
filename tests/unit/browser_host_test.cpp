// The web browser host: its plain decisions, its own COM objects driven by
// hand, and the platform's browser control under Wine (which has no HTML
// engine but creates the control, navigates and raises BeforeNavigate2).
#include "app/browser_host.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

const IID kIidWebBrowserEvents2 = {
    0x34A715A0, 0x6587, 0x11D0, {0x92, 0x4A, 0x00, 0x20, 0xAF, 0xC7, 0xAC, 0x4D}};
const IID kIidDocHostUIHandler = {
    0xBD3F23C0, 0xD43E, 0x11CF, {0x89, 0x3B, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x1A}};

const wchar_t kEmulationKey[] =
    L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";

// Port 1 on loopback: nothing listens, so a navigation that is not cancelled
// fails quickly instead of reaching anything.
const wchar_t kPlayUrl[] = L"http://127.0.0.1:1/en/play?token=T&shard=s1";
const wchar_t kSiteUrl[] = L"http://127.0.0.1:1/?client=1";

std::wstring ExecutableName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return EmulationValueName(path);
}

// ---------------------------------------------------------------------------
// Plain decisions

TEST(PlayNavigation, MatchesPlayPathAndQuery) {
  struct Case {
    const wchar_t* url;
    bool play;
  };
  const Case cases[] = {
      {L"https://site.example/en/play?token=abc&shard=eu", true},
      {L"https://site.example/play", true},
      {L"https://site.example/start?mode=play?", true},
      {L"https://site.example/index.php?mode=play?x=1", true},
      {L"https://site.example/Play?token=abc", false},
      {L"https://site.example/en/Play", false},
      {L"https://site.example/PLAY?token=abc", false},
      {L"https://site.example/?client=1", false},
      {L"https://site.example/en/login", false},
      // A plain substring search: any path segment that starts with "play".
      {L"https://site.example/news/player-of-the-week", true},
      {L"https://site.example/news/best-players", false},
      {L"https://site.example/display", false},
      {L"https://site.example/replay", false},
      {L"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsPlayNavigation(c.url), c.play) << std::string(c.url, c.url + wcslen(c.url));
  }
}

TEST(PlayNavigation, OnlyTheSitesOwnPages) {
  struct Case {
    const wchar_t* url;
    const wchar_t* site;
    bool play;
  };
  const Case cases[] = {
      {L"https://oyun.tavrensil.com/s3/play?token=t", L"https://oyun.tavrensil.com", true},
      {L"HTTPS://OYUN.Tavrensil.COM/play?token=t", L"https://oyun.tavrensil.com/tr", true},
      {L"https://www.oyun.tavrensil.com/play", L"https://oyun.tavrensil.com", true},
      {L"https://oyun.tavrensil.com/play", L"https://www.oyun.tavrensil.com", true},
      {L"http://[::1]:8080/play?token=t", L"http://[::1]:8080", true},
      // A site given without a scheme is an https one.
      {L"https://oyun.example.com/play?token=t", L"oyun.example.com", true},
      {L"http://oyun.example.com/play?token=t", L"oyun.example.com", false},
      // Another port of the site's host is another site; the scheme may
      // change while the port stays.
      {L"http://oyun.tavrensil.com:443/play", L"https://oyun.tavrensil.com", true},
      {L"http://oyun.tavrensil.com/play", L"https://oyun.tavrensil.com", false},
      {L"https://oyun.tavrensil.com:8443/play", L"https://oyun.tavrensil.com", false},
      // Someone else's pages, however they dress up.
      {L"https://evil.example/play?token=t", L"https://oyun.tavrensil.com", false},
      {L"https://oyun.tavrensil.com.evil.example/play", L"https://oyun.tavrensil.com", false},
      {L"https://www.www.oyun.tavrensil.com/play", L"https://oyun.tavrensil.com", false},
      {L"https://oyun.tavrensil.com@evil.example/play", L"https://oyun.tavrensil.com", false},
      {L"https://user:pw@oyun.tavrensil.com/play", L"https://oyun.tavrensil.com", false},
      {L"https://evil.example\\@oyun.tavrensil.com/play", L"https://oyun.tavrensil.com", false},
      {L"https://evil.example/x?u=https://oyun.tavrensil.com/play", L"https://oyun.tavrensil.com",
       false},
      {L"javascript:x='https://oyun.tavrensil.com/play'", L"https://oyun.tavrensil.com", false},
      {L"oyun.tavrensil.com/play?token=t", L"https://oyun.tavrensil.com", false},
      // The site's own pages that are no play page, and no site at all.
      {L"https://oyun.tavrensil.com/en/login", L"https://oyun.tavrensil.com", false},
      {L"https://oyun.tavrensil.com/play", L"", false},
      {L"https://oyun.tavrensil.com/play", L"https://a@oyun.tavrensil.com", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSitePlayNavigation(c.url, c.site), c.play)
        << std::string(c.url, c.url + wcslen(c.url));
  }
}

TEST(TextField, TextTypesInOrder) {
  const wchar_t* const expected[] = {L"",       L"text", L"password", L"email",
                                     L"search", L"tel",  L"url",      L"number"};
  ASSERT_EQ(sizeof(kTextTypes) / sizeof(kTextTypes[0]), 8u);
  for (size_t i = 0; i < 8; ++i) EXPECT_STREQ(kTextTypes[i], expected[i]) << i;
}

TEST(TextField, InputTypes) {
  struct Case {
    const wchar_t* type;
    bool text;
  };
  const Case cases[] = {
      {nullptr, true},     {L"", true},        {L"text", true},      {L"TEXT", true},
      {L"password", true}, {L"EMAIL", true},   {L"Search", true},    {L"tel", true},
      {L"url", true},      {L"number", true},  {L"checkbox", false}, {L"radio", false},
      {L"button", false},  {L"submit", false}, {L"hidden", false},   {L"file", false},
      {L"date", false},    {L"text ", false},  {L"textarea", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsTextInputType(c.type), c.text)
        << (c.type ? "type" : "null type") << " "
        << (c.type ? std::string(c.type, c.type + wcslen(c.type)) : "");
    EXPECT_EQ(IsTextFieldElement(L"INPUT", c.type), c.text);
    EXPECT_EQ(IsTextFieldElement(L"input", c.type), c.text);
  }
}

TEST(TextField, Tags) {
  EXPECT_TRUE(IsTextFieldElement(L"TEXTAREA", nullptr));
  EXPECT_TRUE(IsTextFieldElement(L"textarea", L"checkbox"));
  EXPECT_FALSE(IsTextFieldElement(L"SELECT", nullptr));
  EXPECT_FALSE(IsTextFieldElement(L"SELECT", L"text"));
  EXPECT_FALSE(IsTextFieldElement(L"BUTTON", L"text"));
  EXPECT_FALSE(IsTextFieldElement(L"DIV", nullptr));
  EXPECT_FALSE(IsTextFieldElement(L"BODY", L""));
  EXPECT_FALSE(IsTextFieldElement(L"", nullptr));
  EXPECT_FALSE(IsTextFieldElement(nullptr, L"text"));
}

TEST(Emulation, ValueNameIsTheFileName) {
  EXPECT_EQ(EmulationValueName(L"C:\\Games\\x\\Client.exe"), L"Client.exe");
  EXPECT_EQ(EmulationValueName(L"C:/Games/x/Client.exe"), L"Client.exe");
  EXPECT_EQ(EmulationValueName(L"C:\\Games/x\\y/Client.exe"), L"Client.exe");
  EXPECT_EQ(EmulationValueName(L"Client.exe"), L"Client.exe");
  EXPECT_EQ(EmulationValueName(L"C:\\Games\\"), L"");
}

TEST(Emulation, WrittenEveryTimeAsIe11) {
  const std::wstring name = ExecutableName();
  ASSERT_FALSE(name.empty());
  // Something else there first: the value is overwritten, not kept.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kEmulationKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const DWORD other = 7000;
  ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&other),
                           sizeof(other)),
            ERROR_SUCCESS);
  RegCloseKey(key);

  for (int round = 0; round < 2; ++round) {
    BrowserHost::EnsureBrowserEmulation();
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kEmulationKey, name.c_str(), RRF_RT_ANY, &type,
                           &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 11001u);
    EXPECT_EQ(size, sizeof(DWORD));
  }
}

// ---------------------------------------------------------------------------
// The event sink, driven with hand-made event arguments

// BeforeNavigate2's seven arguments, last first, as the control passes them.
class BeforeNavigateArgs {
 public:
  // `browser`: the navigating browser (the host's own, or a frame's); null
  // leaves the argument empty.
  BeforeNavigateArgs(const wchar_t* url, IDispatch* browser) {
    VariantInit(&url_);
    if (url) {
      V_VT(&url_) = VT_BSTR;
      V_BSTR(&url_) = SysAllocString(url);
    }
    for (VARIANT& v : args_) VariantInit(&v);
    if (browser) {
      V_VT(&args_[6]) = VT_DISPATCH;
      V_DISPATCH(&args_[6]) = browser;  // borrowed: the arguments are never cleared
    }
    V_VT(&args_[0]) = VT_BYREF | VT_BOOL;
    V_BOOLREF(&args_[0]) = &cancel;
    V_VT(&args_[5]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args_[5]) = &url_;
    params.rgvarg = args_;
    params.cArgs = 7;
  }
  ~BeforeNavigateArgs() { VariantClear(&url_); }
  BeforeNavigateArgs(const BeforeNavigateArgs&) = delete;
  BeforeNavigateArgs& operator=(const BeforeNavigateArgs&) = delete;

  VARIANT& Url() { return url_; }
  VARIANT& Arg(int index) { return args_[index]; }

  VARIANT_BOOL cancel = VARIANT_FALSE;
  DISPPARAMS params = {};

 private:
  VARIANT url_;
  VARIANT args_[7];
};

HRESULT Fire(BrowserEventSink* sink, DISPID id, DISPPARAMS* params) {
  return sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, params, nullptr, nullptr, nullptr);
}

class BrowserControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"BrowserHostTestWindow";
    RegisterClassW(&window_class);
  }

  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    window_ = CreateWindowExW(0, L"BrowserHostTestWindow", L"browser host test",
                              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 640, 480, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
  }

  void TearDown() override {
    host_.Destroy();
    if (window_) DestroyWindow(window_);
    OleUninitialize();
  }

  void ExpectEmpty() {
    EXPECT_EQ(host_.ole_object, nullptr);
    EXPECT_EQ(host_.inplace_object, nullptr);
    EXPECT_EQ(host_.web_browser, nullptr);
    EXPECT_EQ(host_.site, nullptr);
    EXPECT_EQ(host_.sink, nullptr);
    EXPECT_EQ(host_.advise_cookie, 0u);
  }

  HWND window_ = nullptr;
  BrowserHost host_;
};

// A sink of its own on a host whose control runs, so that events can name
// the host's browser (or another) as the navigating one.
class EventSinkTest : public BrowserControlTest {
 protected:
  void SetUp() override {
    BrowserControlTest::SetUp();
    ASSERT_TRUE(host_.Create(window_, kSiteUrl,
                             [this](const std::wstring& url) { urls_.push_back(url); }));
    sink_ = new BrowserEventSink(&host_);
  }
  void TearDown() override {
    if (sink_) {
      EXPECT_EQ(sink_->Release(), 0u);
    }
    BrowserControlTest::TearDown();
  }
  IDispatch* Browser() { return host_.web_browser; }

  BrowserEventSink* sink_ = nullptr;
  std::vector<std::wstring> urls_;
};

TEST_F(EventSinkTest, CountsAndInterfaces) {
  EXPECT_EQ(sink_->refs, 1);
  EXPECT_EQ(sink_->host, &host_);
  void* out = nullptr;
  for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &kIidWebBrowserEvents2}) {
    ASSERT_EQ(sink_->QueryInterface(*iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<IDispatch*>(sink_));
    EXPECT_EQ(sink_->refs, 2);
    EXPECT_EQ(sink_->Release(), 1u);
  }
  out = &out;
  EXPECT_EQ(sink_->QueryInterface(IID_IOleClientSite, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sink_->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
  EXPECT_EQ(sink_->AddRef(), 2u);
  EXPECT_EQ(sink_->Release(), 1u);
  UINT count = 0;
  EXPECT_EQ(sink_->GetTypeInfoCount(&count), E_NOTIMPL);
  ITypeInfo* info = nullptr;
  EXPECT_EQ(sink_->GetTypeInfo(0, 0, &info), E_NOTIMPL);
  DISPID id = 0;
  LPOLESTR name = const_cast<LPOLESTR>(L"x");
  EXPECT_EQ(sink_->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), E_NOTIMPL);
}

TEST_F(EventSinkTest, PlayNavigationIsCancelledAndReported) {
  BeforeNavigateArgs args(kPlayUrl, Browser());
  EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
  EXPECT_EQ(args.cancel, VARIANT_TRUE);
  ASSERT_EQ(urls_.size(), 1u);
  EXPECT_EQ(urls_[0], kPlayUrl);
}

TEST_F(EventSinkTest, OtherPagesFramesAndSitesPassUntouched) {
  // Another object stands for a frame's browser inside the page.
  BrowserEventSink* frame = new BrowserEventSink(nullptr);
  struct Case {
    const wchar_t* url;
    IDispatch* browser;
  };
  const Case cases[] = {
      {L"http://127.0.0.1:1/en/Play?token=abc", Browser()},
      {L"http://127.0.0.2:1/en/play?token=abc", Browser()},
      {kPlayUrl, frame},
      {kPlayUrl, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    BeforeNavigateArgs args(c.url, c.browser);
    EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
    EXPECT_EQ(args.cancel, VARIANT_FALSE);
  }
  EXPECT_TRUE(urls_.empty());
  EXPECT_EQ(frame->Release(), 0u);
}

TEST_F(EventSinkTest, IgnoredEvents) {
  {
    BeforeNavigateArgs args(kPlayUrl, Browser());
    EXPECT_EQ(Fire(sink_, 251, &args.params), S_OK);  // another event
    EXPECT_EQ(Fire(sink_, 0, &args.params), S_OK);
    EXPECT_EQ(args.cancel, VARIANT_FALSE);
  }
  {
    BeforeNavigateArgs args(kPlayUrl, Browser());
    args.params.cArgs = 6;  // too few arguments
    EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
    EXPECT_EQ(args.cancel, VARIANT_FALSE);
  }
  EXPECT_EQ(Fire(sink_, 250, nullptr), S_OK);
  {
    BeforeNavigateArgs args(nullptr, Browser());  // URL is VT_EMPTY
    EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
    EXPECT_EQ(args.cancel, VARIANT_FALSE);
  }
  {
    BeforeNavigateArgs args(kPlayUrl, Browser());
    SysFreeString(V_BSTR(&args.Url()));
    V_BSTR(&args.Url()) = nullptr;  // a string variant without a string
    EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
    EXPECT_EQ(args.cancel, VARIANT_FALSE);
  }
  {
    BeforeNavigateArgs args(kPlayUrl, Browser());
    // The URL variant itself, not by reference: not what the control sends.
    VARIANT direct;
    VariantInit(&direct);
    V_VT(&direct) = VT_BSTR;
    V_BSTR(&direct) = SysAllocString(kPlayUrl);
    args.Arg(5) = direct;
    EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
    EXPECT_EQ(args.cancel, VARIANT_FALSE);
    VariantClear(&direct);
  }
  EXPECT_TRUE(urls_.empty());
}

TEST_F(EventSinkTest, CancelOfTheWrongTypeIsLeftAlone) {
  BeforeNavigateArgs args(kPlayUrl, Browser());
  LONG not_a_flag = 5;
  V_VT(&args.Arg(0)) = VT_BYREF | VT_I4;
  V_I4REF(&args.Arg(0)) = &not_a_flag;
  EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
  EXPECT_EQ(not_a_flag, 5);
  EXPECT_EQ(urls_.size(), 1u);  // still reported
}

TEST_F(EventSinkTest, WithoutCallbackStillCancelled) {
  host_.on_navigate = nullptr;
  BeforeNavigateArgs args(kPlayUrl, Browser());
  EXPECT_EQ(Fire(sink_, 250, &args.params), S_OK);
  EXPECT_EQ(args.cancel, VARIANT_TRUE);

  // Without a host there is no site to compare with: nothing is ours.
  sink_->host = nullptr;
  BeforeNavigateArgs again(kPlayUrl, Browser());
  EXPECT_EQ(Fire(sink_, 250, &again.params), S_OK);
  EXPECT_EQ(again.cancel, VARIANT_FALSE);
}

TEST_F(EventSinkTest, CallbackMayReleaseTheSink) {
  // What Destroy does from inside the event: the host's reference goes away
  // while Invoke is still running.
  BrowserEventSink* sink = sink_;
  host_.on_navigate = [this, sink](const std::wstring& url) {
    urls_.push_back(url);
    sink->Release();
  };
  sink_ = nullptr;
  BeforeNavigateArgs args(kPlayUrl, Browser());
  EXPECT_EQ(Fire(sink, 250, &args.params), S_OK);
  EXPECT_EQ(args.cancel, VARIANT_TRUE);
  EXPECT_EQ(urls_.size(), 1u);
}

// ---------------------------------------------------------------------------
// The client site, driven by hand

// An active object that counts its references and answers keys as told.
class FakeActiveObject final : public IOleInPlaceActiveObject {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleWindow) ||
        IsEqualIID(iid, IID_IOleInPlaceActiveObject)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetWindow(HWND*) override { return E_NOTIMPL; }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(LPMSG message) override {
    last_message = message;
    return answer;
  }
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }

  LONG refs = 1;  // the test's own
  HRESULT answer = S_OK;
  MSG* last_message = nullptr;
};

// The faces and answers it shares with the media control's site are the
// OLE site core's, tested once with that site; here only what is the
// browser's own.
TEST(BrowserSiteTest, FacesAndCounts) {
  BrowserSite* site = new BrowserSite(nullptr);
  EXPECT_EQ(site->refs, 1);
  EXPECT_EQ(site->active_object, nullptr);
  struct Face {
    const IID* iid;
    void* expected;
  };
  const Face faces[] = {
      {&IID_IUnknown, static_cast<IOleClientSite*>(site)},
      {&kIidDocHostUIHandler, static_cast<IDocHostUIHandler*>(site)},
  };
  for (const Face& face : faces) {
    void* out = nullptr;
    ASSERT_EQ(site->QueryInterface(*face.iid, &out), S_OK);
    EXPECT_EQ(out, face.expected);
    EXPECT_EQ(site->refs, 2);
    EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 1u);
  }
  void* out = &out;
  EXPECT_EQ(site->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(site->QueryInterface(kIidDocHostUIHandler, nullptr), E_POINTER);
  EXPECT_EQ(site->Release(), 0u);
}

TEST(BrowserSiteTest, Answers) {
  BrowserSite* site = new BrowserSite(nullptr);
  EXPECT_EQ(site->ShowContextMenu(0, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(site->TranslateAccelerator(nullptr, nullptr, DWORD{0}), S_FALSE);
  EXPECT_EQ(site->TranslateUrl(0, nullptr, nullptr), S_FALSE);
  EXPECT_EQ(site->FilterDataObject(nullptr, nullptr), S_FALSE);
  EXPECT_EQ(site->GetOptionKeyPath(nullptr, 0), S_FALSE);
  EXPECT_EQ(site->GetExternal(nullptr), E_NOTIMPL);
  EXPECT_EQ(site->GetDropTarget(nullptr, nullptr), E_NOTIMPL);

  DOCHOSTUIINFO info = {};
  info.pchHostCss = reinterpret_cast<OLECHAR*>(&info);  // left alone
  EXPECT_EQ(site->GetHostInfo(&info), S_OK);
  EXPECT_EQ(info.cbSize, sizeof(DOCHOSTUIINFO));
  EXPECT_EQ(info.dwFlags, 0x40040004u);  // no 3-D border, themed, DPI-aware
  EXPECT_EQ(info.dwDoubleClick, 0u);
  EXPECT_EQ(info.pchHostCss, reinterpret_cast<OLECHAR*>(&info));
  EXPECT_EQ(site->GetHostInfo(nullptr), E_POINTER);
  EXPECT_EQ(site->Release(), 0u);
}

TEST(BrowserSiteTest, ActiveObjectHeldUntilReplacedOrDeleted) {
  FakeActiveObject first;
  FakeActiveObject second;
  BrowserSite* site = new BrowserSite(nullptr);
  EXPECT_EQ(site->SetActiveObject(&first, nullptr), S_OK);
  EXPECT_EQ(first.refs, 2);
  EXPECT_EQ(site->SetActiveObject(&first, nullptr), S_OK);
  EXPECT_EQ(first.refs, 2);
  EXPECT_EQ(site->SetActiveObject(&second, nullptr), S_OK);
  EXPECT_EQ(first.refs, 1);
  EXPECT_EQ(second.refs, 2);
  EXPECT_EQ(site->SetActiveObject(nullptr, nullptr), S_OK);
  EXPECT_EQ(second.refs, 1);
  EXPECT_EQ(site->active_object, nullptr);
  EXPECT_EQ(site->SetActiveObject(&second, nullptr), S_OK);
  EXPECT_EQ(site->Release(), 0u);  // deleting the site lets go of it
  EXPECT_EQ(second.refs, 1);
}

// ---------------------------------------------------------------------------
// The host without the control

TEST(BrowserHostEmpty, EverythingIsHarmless) {
  BrowserHost host;
  host.Resize(100, 100);
  EXPECT_FALSE(host.HasTextFocus());
  MSG message = {};
  EXPECT_FALSE(host.TranslateAcceleratorW(&message));
  EXPECT_FALSE(host.TranslateAcceleratorW(nullptr));
  host.Destroy();
  host.Destroy();
  EXPECT_EQ(host.ole_object, nullptr);
  EXPECT_EQ(host.site, nullptr);
  EXPECT_TRUE(host.last_error.empty());
}

TEST(BrowserHostEmpty, KeysGoToTheActiveObjectFirst) {
  FakeActiveObject active;
  BrowserHost host;
  host.site = new BrowserSite(nullptr);
  host.site->SetActiveObject(&active, nullptr);
  MSG message = {};
  message.message = WM_KEYDOWN;
  EXPECT_TRUE(host.TranslateAcceleratorW(&message));
  EXPECT_EQ(active.last_message, &message);

  active.answer = S_FALSE;  // not used, and no control to ask next
  EXPECT_FALSE(host.TranslateAcceleratorW(&message));

  active.last_message = nullptr;
  EXPECT_FALSE(host.TranslateAcceleratorW(nullptr));
  EXPECT_EQ(active.last_message, nullptr);

  host.Destroy();  // releases the site, which lets go of the active object
  EXPECT_EQ(host.site, nullptr);
  EXPECT_EQ(active.refs, 1);
}

// ---------------------------------------------------------------------------
// The platform's browser control

TEST_F(BrowserControlTest, PlayNavigationReportedAndHostDestroyedInside) {
  std::vector<std::wstring> urls;
  bool running_inside = false;
  ASSERT_TRUE(host_.Create(window_, kPlayUrl, [&](const std::wstring& url) {
    urls.push_back(url);
    // What the session start does: the browser goes away inside the event.
    running_inside = host_.sink != nullptr && host_.advise_cookie != 0;
    host_.Destroy();
  })) << std::string(host_.last_error.begin(), host_.last_error.end());
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], kPlayUrl);
  EXPECT_TRUE(running_inside);
  EXPECT_EQ(host_.parent, window_);
  EXPECT_TRUE(host_.last_error.empty());
  ExpectEmpty();
  EXPECT_TRUE(static_cast<bool>(host_.on_navigate));  // kept for the next Create

  host_.Destroy();  // again: nothing left to do
  ExpectEmpty();
  EXPECT_FALSE(host_.TranslateAcceleratorW(nullptr));
  EXPECT_FALSE(host_.HasTextFocus());

  // The same host again, at a site page: no callback, the control runs.
  urls.clear();
  ASSERT_TRUE(
      host_.Create(window_, kSiteUrl, [&](const std::wstring& url) { urls.push_back(url); }));
  EXPECT_TRUE(urls.empty());
  EXPECT_NE(host_.ole_object, nullptr);
  EXPECT_NE(host_.web_browser, nullptr);
  EXPECT_NE(host_.site, nullptr);
  EXPECT_NE(host_.sink, nullptr);
  EXPECT_NE(host_.advise_cookie, 0u);
  host_.Resize(320, 200);
  EXPECT_FALSE(host_.TranslateAcceleratorW(nullptr));
  EXPECT_FALSE(host_.HasTextFocus());  // no page is shown here
  host_.Destroy();
  ExpectEmpty();
}

TEST_F(BrowserControlTest, PlayNavigationWithoutDestroyOrCallback) {
  std::vector<std::wstring> urls;
  ASSERT_TRUE(
      host_.Create(window_, kPlayUrl, [&](const std::wstring& url) { urls.push_back(url); }));
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], kPlayUrl);
  EXPECT_NE(host_.web_browser, nullptr);
  host_.Destroy();
  ExpectEmpty();

  // No callback at all: still a working control (and the event cancelled).
  ASSERT_TRUE(host_.Create(window_, kPlayUrl, nullptr));
  EXPECT_NE(host_.web_browser, nullptr);
  host_.Destroy();
  ExpectEmpty();
}

// A second listener on the control's events: records every dispatch id.
class EventRecorder final : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, kIidWebBrowserEvents2)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    ids.push_back(id);
    return S_OK;
  }
  bool Saw(DISPID id) const {
    for (DISPID seen : ids) {
      if (seen == id) return true;
    }
    return false;
  }

  LONG refs = 1;
  std::vector<DISPID> ids;
};

constexpr DISPID kBeforeNavigate2 = 250;
constexpr DISPID kNavigateComplete2 = 252;
constexpr DISPID kNavigateError = 271;

// Runs the thread's messages for up to `milliseconds` or until `done`.
template <typename Done>
void PumpMessages(DWORD milliseconds, Done done) {
  const DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start < milliseconds) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(10);
  }
}

TEST_F(BrowserControlTest, PlayNavigationGoesNoFurther) {
  std::vector<std::wstring> urls;
  ASSERT_TRUE(
      host_.Create(window_, kSiteUrl, [&](const std::wstring& url) { urls.push_back(url); }));
  PumpMessages(3000, [] { return false; });  // let the start page's attempt settle

  IConnectionPointContainer* container = nullptr;
  ASSERT_EQ(host_.ole_object->QueryInterface(IID_IConnectionPointContainer,
                                             reinterpret_cast<void**>(&container)),
            S_OK);
  IConnectionPoint* point = nullptr;
  ASSERT_EQ(container->FindConnectionPoint(kIidWebBrowserEvents2, &point), S_OK);
  container->Release();
  EventRecorder recorder;
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(&recorder, &cookie), S_OK);

  // A site page: the request goes out and fails, which the control reports.
  BSTR site_url = SysAllocString(kSiteUrl);
  host_.web_browser->Navigate(site_url, nullptr, nullptr, nullptr, nullptr);
  SysFreeString(site_url);
  PumpMessages(5000,
               [&] { return recorder.Saw(kNavigateError) || recorder.Saw(kNavigateComplete2); });
  EXPECT_TRUE(recorder.Saw(kBeforeNavigate2));
  // Shows that the wait below is long enough to see a request's outcome.
  ASSERT_TRUE(recorder.Saw(kNavigateError) || recorder.Saw(kNavigateComplete2));
  EXPECT_TRUE(urls.empty());

  // A play page: reported, cancelled, and nothing follows it.
  recorder.ids.clear();
  BSTR play_url = SysAllocString(kPlayUrl);
  host_.web_browser->Navigate(play_url, nullptr, nullptr, nullptr, nullptr);
  SysFreeString(play_url);
  PumpMessages(3000,
               [&] { return recorder.Saw(kNavigateError) || recorder.Saw(kNavigateComplete2); });
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], kPlayUrl);
  EXPECT_TRUE(recorder.Saw(kBeforeNavigate2));
  EXPECT_FALSE(recorder.Saw(kNavigateError));
  EXPECT_FALSE(recorder.Saw(kNavigateComplete2));

  point->Unadvise(cookie);
  point->Release();
  EXPECT_EQ(recorder.refs, 1);
}

TEST_F(BrowserControlTest, OwnObjectsStartAtOneAndAreAllReleased) {
  ASSERT_TRUE(host_.Create(window_, kSiteUrl, nullptr));
  ASSERT_NE(host_.site, nullptr);
  ASSERT_NE(host_.sink, nullptr);
  EXPECT_EQ(host_.sink->host, &host_);
  EXPECT_EQ(host_.site->hwnd, window_);
  // The host's own reference plus whatever the control holds.
  EXPECT_GE(host_.site->refs, 1);
  EXPECT_GE(host_.sink->refs, 2);  // the connection holds the sink too

  // Keep both alive past Destroy to see that the control lets go of them.
  BrowserSite* site = host_.site;
  BrowserEventSink* sink = host_.sink;
  site->AddRef();
  sink->AddRef();
  host_.Destroy();
  ExpectEmpty();
  EXPECT_EQ(sink->refs, 1);
  EXPECT_EQ(site->refs, 1);
  EXPECT_EQ(sink->Release(), 0u);
  EXPECT_EQ(site->Release(), 0u);
}

TEST_F(BrowserControlTest, CreateWritesTheEmulationValue) {
  const std::wstring name = ExecutableName();
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kEmulationKey, name.c_str());
  ASSERT_TRUE(host_.Create(window_, kSiteUrl, nullptr));
  DWORD value = 0;
  DWORD size = sizeof(value);
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kEmulationKey, name.c_str(), RRF_RT_REG_DWORD, nullptr,
                         &value, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 11001u);
}

}  // namespace
