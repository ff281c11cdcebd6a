#include "app/browser_host.h"

#include <mshtml.h>
#include <wrl/client.h>

#include "platform/modules.h"
#include "platform/scoped_win.h"
#include "core/site_address.h"

using Microsoft::WRL::ComPtr;

#include <cwchar>

namespace {

// {8856F961-340A-11D0-A96B-00C04FD705A2}: the WebBrowser control.
const CLSID kClsidWebBrowser = {
    0x8856F961, 0x340A, 0x11D0, {0xA9, 0x6B, 0x00, 0xC0, 0x4F, 0xD7, 0x05, 0xA2}};
// {D30C1661-CDAF-11D0-8A3E-00C04FC9E26E}
const IID kIidWebBrowser2 = {
    0xD30C1661, 0xCDAF, 0x11D0, {0x8A, 0x3E, 0x00, 0xC0, 0x4F, 0xC9, 0xE2, 0x6E}};
// {34A715A0-6587-11D0-924A-0020AFC7AC4D}: the control's event interface.
const IID kIidWebBrowserEvents2 = {
    0x34A715A0, 0x6587, 0x11D0, {0x92, 0x4A, 0x00, 0x20, 0xAF, 0xC7, 0xAC, 0x4D}};
// {BD3F23C0-D43E-11CF-893B-00AA00BDCE1A}
const IID kIidDocHostUIHandler = {
    0xBD3F23C0, 0xD43E, 0x11CF, {0x89, 0x3B, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x1A}};
// {332C4425-26CB-11D0-B483-00C04FD90119}
const IID kIidHtmlDocument2 = {
    0x332C4425, 0x26CB, 0x11D0, {0xB4, 0x83, 0x00, 0xC0, 0x4F, 0xD9, 0x01, 0x19}};
// {3050F5D2-98B5-11CF-BB82-00AA00BDCE0B}
const IID kIidHtmlInputElement = {
    0x3050F5D2, 0x98B5, 0x11CF, {0xBB, 0x82, 0x00, 0xAA, 0x00, 0xBD, 0xCE, 0x0B}};

// The control's BeforeNavigate2 event.
constexpr DISPID kDispidBeforeNavigate2 = 250;
// Arguments arrive last first: BeforeNavigate2's browser (the top-level one
// or a frame's), its URL and its Cancel flag.
constexpr UINT kBrowserArgument = 6;
constexpr UINT kUrlArgument = 5;
constexpr UINT kCancelArgument = 0;

const wchar_t kEmulationKey[] =
    L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";
// Internet Explorer 11 in standards mode, whatever the page declares.
constexpr DWORD kEmulationIe11 = 11001;

// Marks the client to the site on its first page.
const wchar_t kClientHeader[] = L"X-Tavrensil-Client: 1\r\n";
// navNoReadFromCache | navNoWriteToCache: the start page is always fresh.
constexpr LONG kNavigateFlags = 0x0C;

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b) == 0; }

// Whether two interface pointers lead to one COM object (null: never).
bool IsSameObject(IUnknown* a, IUnknown* b) {
  if (!a || !b) return false;
  ComPtr<IUnknown> identity_a;
  ComPtr<IUnknown> identity_b;
  return SUCCEEDED(a->QueryInterface(IID_IUnknown,
                                     reinterpret_cast<void**>(identity_a.GetAddressOf()))) &&
         SUCCEEDED(b->QueryInterface(IID_IUnknown,
                                     reinterpret_cast<void**>(identity_b.GetAddressOf()))) &&
         identity_a.Get() == identity_b.Get();
}

// The control's connection point for its DWebBrowserEvents2, or null.
ComPtr<IConnectionPoint> EventsConnection(IOleObject* control) {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  if (FAILED(control->QueryInterface(IID_IConnectionPointContainer,
                                     reinterpret_cast<void**>(container.GetAddressOf()))) ||
      !container ||
      FAILED(container->FindConnectionPoint(kIidWebBrowserEvents2, point.GetAddressOf()))) {
    return nullptr;
  }
  return point;
}

}  // namespace

const wchar_t* const kTextTypes[8] = {L"",       L"text", L"password", L"email",
                                      L"search", L"tel",  L"url",      L"number"};

bool IsPlayNavigation(const std::wstring& url) {
  return url.find(L"/play") != std::wstring::npos || url.find(L"play?") != std::wstring::npos;
}

bool IsSitePlayNavigation(const std::wstring& url, const std::wstring& site_url) {
  SiteAddress site;
  return IsPlayNavigation(url) && ReadSiteAddress(site_url, &site) && IsSameSite(url, site);
}

bool IsTextInputType(const wchar_t* type) {
  if (!type) type = L"text";
  for (const wchar_t* text_type : kTextTypes) {
    if (EqualsNoCase(type, text_type)) return true;
  }
  return false;
}

bool IsTextFieldElement(const wchar_t* tag_name, const wchar_t* input_type) {
  if (!tag_name) return false;
  if (EqualsNoCase(tag_name, L"TEXTAREA")) return true;
  if (EqualsNoCase(tag_name, L"INPUT")) return IsTextInputType(input_type);
  return false;
}

std::wstring EmulationValueName(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// ---------------------------------------------------------------------------
// BrowserSite

BrowserSite::BrowserSite(HWND window) : OleSiteFaces(window), refs(1) {}

STDMETHODIMP BrowserSite::QueryInterface(REFIID iid, void** out) {
  if (!out || !IsEqualIID(iid, kIidDocHostUIHandler)) return OleSiteFaces::QueryInterface(iid, out);
  *out = static_cast<IDocHostUIHandler*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) BrowserSite::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&refs));
}

STDMETHODIMP_(ULONG) BrowserSite::Release() {
  const LONG count = InterlockedDecrement(&refs);
  if (count == 0) {
    ReleaseAndClear(active_object);
    delete this;
  }
  return static_cast<ULONG>(count);
}

// Kept so that the host can offer keys to the page before anything else.
STDMETHODIMP BrowserSite::SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR) {
  // Take the new reference first: the old and new object may be the same.
  if (object) object->AddRef();
  IOleInPlaceActiveObject* old = active_object;
  active_object = object;
  if (old) old->Release();
  return S_OK;
}

STDMETHODIMP BrowserSite::EnableModeless(BOOL) { return S_OK; }

// S_OK claims the menu: the page shows no context menu of its own.
STDMETHODIMP BrowserSite::ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) { return S_OK; }

STDMETHODIMP BrowserSite::GetHostInfo(DOCHOSTUIINFO* info) {
  if (!info) return E_POINTER;
  info->cbSize = sizeof(DOCHOSTUIINFO);
  // No sunken border around the page, and themed controls inside it. The
  // client is DPI-aware, so pages zoom with the display's scaling instead of
  // being drawn at 96 DPI.
  info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_THEME | DOCHOSTUIFLAG_DPI_AWARE;
  info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
  return S_OK;
}

STDMETHODIMP BrowserSite::ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*,
                                 IOleInPlaceFrame*, IOleInPlaceUIWindow*) {
  return S_OK;
}

STDMETHODIMP BrowserSite::HideUI() { return S_OK; }

STDMETHODIMP BrowserSite::UpdateUI() { return S_OK; }

STDMETHODIMP BrowserSite::OnDocWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP BrowserSite::OnFrameWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP BrowserSite::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }

// S_FALSE on the handler's hooks: the control keeps its own behaviour.
STDMETHODIMP BrowserSite::TranslateAccelerator(LPMSG, const GUID*, DWORD) { return S_FALSE; }

STDMETHODIMP BrowserSite::GetOptionKeyPath(LPOLESTR*, DWORD) { return S_FALSE; }

STDMETHODIMP BrowserSite::GetDropTarget(IDropTarget*, IDropTarget**) { return E_NOTIMPL; }

STDMETHODIMP BrowserSite::GetExternal(IDispatch**) { return E_NOTIMPL; }

STDMETHODIMP BrowserSite::TranslateUrl(DWORD, LPWSTR, LPWSTR*) { return S_FALSE; }

STDMETHODIMP BrowserSite::FilterDataObject(IDataObject*, IDataObject**) { return S_FALSE; }

// ---------------------------------------------------------------------------
// BrowserEventSink

BrowserEventSink::BrowserEventSink(BrowserHost* owner) : host(owner), refs(1) {}

STDMETHODIMP BrowserEventSink::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
      IsEqualIID(iid, kIidWebBrowserEvents2)) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) BrowserEventSink::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&refs));
}

STDMETHODIMP_(ULONG) BrowserEventSink::Release() {
  const LONG count = InterlockedDecrement(&refs);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

STDMETHODIMP BrowserEventSink::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }

STDMETHODIMP BrowserEventSink::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

STDMETHODIMP BrowserEventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
  return E_NOTIMPL;
}

STDMETHODIMP BrowserEventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                      EXCEPINFO*, UINT*) {
  if (id != kDispidBeforeNavigate2 || !params || !params->rgvarg || params->cArgs <= 6) {
    return S_OK;
  }

  const VARIANT& url_argument = params->rgvarg[kUrlArgument];
  if (V_VT(&url_argument) != (VT_BYREF | VT_VARIANT) || !V_VARIANTREF(&url_argument)) return S_OK;
  const VARIANT* inner = V_VARIANTREF(&url_argument);
  if (V_VT(inner) != VT_BSTR || !V_BSTR(inner)) return S_OK;
  const std::wstring url(V_BSTR(inner), SysStringLen(V_BSTR(inner)));

  // A frame inside the page (an embedded player, say) or another site may
  // navigate to a "/play" of its own; only the site's own page is ours.
  if (!host || !IsSitePlayNavigation(url, host->start_url)) return S_OK;
  const VARIANT& browser = params->rgvarg[kBrowserArgument];
  if (V_VT(&browser) != VT_DISPATCH || !IsSameObject(V_DISPATCH(&browser), host->web_browser)) {
    return S_OK;
  }

  VARIANT& cancel = params->rgvarg[kCancelArgument];
  if (V_VT(&cancel) == (VT_BYREF | VT_BOOL) && V_BOOLREF(&cancel)) {
    *V_BOOLREF(&cancel) = VARIANT_TRUE;
  }

  if (host->on_navigate) {
    // The callback may destroy the host's objects, this sink among them, or
    // replace the callback itself: call a copy, and touch no member after it.
    const PlayNavigationCallback callback = host->on_navigate;
    callback(url);
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// BrowserHost

BrowserHost::~BrowserHost() { Destroy(); }

void BrowserHost::EnsureBrowserEmulation() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kEmulationKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  // The whole path, however long: a cut one would name another file.
  const std::wstring name = EmulationValueName(ExecutablePath());
  const DWORD value = kEmulationIe11;
  RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                 sizeof(value));
  RegCloseKey(key);
}

bool BrowserHost::Create(HWND window, const std::wstring& url, PlayNavigationCallback callback) {
  parent = window;
  on_navigate = std::move(callback);
  start_url = url;
  EnsureBrowserEmulation();
  // Members keep whatever a failing step left: the next Destroy releases it.
  RECT client = {};
  if (!CreateControl(window, &client)) return false;
  // Without the event connection the site still shows, only play navigations
  // go unnoticed; that is not worth failing for.
  ConnectEvents();
  NavigateTo(url);
  // Null again when the play callback destroyed the host during Navigate.
  ResizeInPlace(inplace_object, client.right - client.left, client.bottom - client.top);
  return true;
}

bool BrowserHost::CreateControl(HWND window, RECT* client) {
  if (FAILED(CoCreateInstance(kClsidWebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                              reinterpret_cast<void**>(&ole_object))) ||
      !ole_object) {
    ole_object = nullptr;
    last_error = L"WebBrowser nesnesi olusturulamadi";
    return false;
  }
  site = new BrowserSite(window);
  EmbedStep failed;
  if (FAILED(
          EmbedControl(ole_object, static_cast<IOleClientSite*>(site), window, client, &failed))) {
    last_error = failed == EmbedStep::kSetClientSite ? L"SetClientSite basarisiz"
                                                     : L"WebBrowser etkinlestirilemedi";
    return false;
  }
  ole_object->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inplace_object));
  ole_object->QueryInterface(kIidWebBrowser2, reinterpret_cast<void**>(&web_browser));
  if (!web_browser) {
    last_error = L"IWebBrowser2 arayuzu alinamadi";
    return false;
  }
  return true;
}

void BrowserHost::ConnectEvents() {
  const ComPtr<IConnectionPoint> point = EventsConnection(ole_object);
  if (!point) return;
  sink = new BrowserEventSink(this);
  DWORD cookie = 0;
  if (SUCCEEDED(point->Advise(static_cast<IDispatch*>(sink), &cookie))) advise_cookie = cookie;
}

void BrowserHost::NavigateTo(const std::wstring& url) {
  ScopedBstr start_url(url);
  ScopedVariant flags;
  V_VT(flags.get()) = VT_I4;
  V_I4(flags.get()) = kNavigateFlags;
  ScopedVariant target;
  ScopedVariant post_data;
  ScopedVariant headers;
  V_VT(headers.get()) = VT_BSTR;
  V_BSTR(headers.get()) = SysAllocString(kClientHeader);
  // A failed navigation still leaves a working control; the page says why.
  // The play callback may Destroy this host from inside Navigate: the local
  // reference keeps the control alive until its own call has returned.
  const ComPtr<IWebBrowser2> browser(web_browser);
  browser->Navigate(start_url.get(), flags.get(), target.get(), post_data.get(), headers.get());
}

void BrowserHost::Resize(int width, int height) {
  if (!inplace_object) return;
  const RECT rect = {0, 0, width, height};
  inplace_object->SetObjectRects(&rect, &rect);
}

bool BrowserHost::HasTextFocus() {
  if (!web_browser) return false;
  ComPtr<IDispatch> document_dispatch;
  ComPtr<IHTMLDocument2> document;
  ComPtr<IHTMLElement> element;
  ScopedBstr tag;
  if (FAILED(web_browser->get_Document(document_dispatch.GetAddressOf())) || !document_dispatch ||
      FAILED(document_dispatch->QueryInterface(
          kIidHtmlDocument2, reinterpret_cast<void**>(document.GetAddressOf()))) ||
      FAILED(document->get_activeElement(element.GetAddressOf())) || !element ||
      FAILED(element->get_tagName(tag.receive())) || !tag.get()) {
    return false;
  }
  if (!EqualsNoCase(tag.get(), L"INPUT")) return IsTextFieldElement(tag.get(), nullptr);
  ComPtr<IHTMLInputElement> input;
  ScopedBstr type;
  if (FAILED(element->QueryInterface(kIidHtmlInputElement,
                                     reinterpret_cast<void**>(input.GetAddressOf()))) ||
      !input || FAILED(input->get_type(type.receive()))) {
    return false;
  }
  return IsTextFieldElement(tag.get(), type.get());
}

bool BrowserHost::TranslateAcceleratorW(MSG* message) {
  if (!message) return false;
  if (site && site->active_object && site->active_object->TranslateAccelerator(message) == S_OK) {
    return true;
  }
  if (!ole_object) return false;
  ComPtr<IOleInPlaceActiveObject> active;
  return SUCCEEDED(ole_object->QueryInterface(IID_IOleInPlaceActiveObject,
                                              reinterpret_cast<void**>(active.GetAddressOf()))) &&
         active && active->TranslateAccelerator(message) == S_OK;
}

void BrowserHost::Destroy() {
  // Disconnect the events first: from here on the control cannot reach the
  // sink, even while it is still delivering the event that called us.
  if (advise_cookie != 0 && ole_object) {
    if (const ComPtr<IConnectionPoint> point = EventsConnection(ole_object)) {
      point->Unadvise(advise_cookie);
    }
  }
  advise_cookie = 0;
  ReleaseAndClear(sink);
  ReleaseAndClear(web_browser);
  ReleaseControl(inplace_object, ole_object, site);
}
