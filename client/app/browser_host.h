// Hosts the web browser control that shows the game's web site, and turns the
// site's navigation to its play page into a call of the client's callback.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <exdisp.h>
#include <mshtmhst.h>

#include <functional>
#include <string>

#include "app/ole_site.h"

// The callback for a play navigation: gets the URL the site navigated to.
using PlayNavigationCallback = std::function<void(const std::wstring&)>;

// The input types that count as text fields, compared without regard to case.
extern const wchar_t* const kTextTypes[8];

// True when `url` leads to the site's play page: it contains "/play" or
// "play?" (both case-sensitive).
bool IsPlayNavigation(const std::wstring& url);

// True when `url` is a play navigation (IsPlayNavigation) to the site whose
// address (ReadSiteAddress) is `site_url`: http or https, the site's port,
// the site's host or its www twin (IsSameSite). A site address that cannot
// be read has no play navigations.
bool IsSitePlayNavigation(const std::wstring& url, const std::wstring& site_url);

// True when an input element of type `type` takes typed text; a null type
// counts as "text", the platform's default.
bool IsTextInputType(const wchar_t* type);

// True when an element with tag name `tag_name` is a text field: any
// TEXTAREA, or an INPUT whose `input_type` IsTextInputType. Null tag: false.
bool IsTextFieldElement(const wchar_t* tag_name, const wchar_t* input_type);

// The emulation setting's value name for the executable at `path`: the part
// after the last backslash or forward slash, or the whole path without one.
std::wstring EmulationValueName(const std::wstring& path);

class BrowserHost;

// The client site handed to the browser control: one COM object with the
// faces IOleClientSite, IOleInPlaceSite, IOleInPlaceFrame and
// IDocHostUIHandler, in that order. Created with one reference (the host's);
// deletes itself at zero.
class BrowserSite final : public OleSiteFaces, public IDocHostUIHandler {
 public:
  // A site for the container window `window`, with `refs` = 1.
  explicit BrowserSite(HWND window);
  BrowserSite(const BrowserSite&) = delete;
  BrowserSite& operator=(const BrowserSite&) = delete;

  // IUnknown, shared by the four faces.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IOleInPlaceUIWindow: keeps the active object (see `active_object`).
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR name) override;

  // IOleInPlaceFrame and IDocHostUIHandler alike.
  STDMETHODIMP EnableModeless(BOOL enable) override;
  using OleSiteFaces::TranslateAccelerator;

  // IDocHostUIHandler.
  STDMETHODIMP ShowContextMenu(DWORD id, POINT* point, IUnknown* target,
                               IDispatch* object) override;
  STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override;
  STDMETHODIMP ShowUI(DWORD id, IOleInPlaceActiveObject* active, IOleCommandTarget* target,
                      IOleInPlaceFrame* frame, IOleInPlaceUIWindow* document) override;
  STDMETHODIMP HideUI() override;
  STDMETHODIMP UpdateUI() override;
  STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
  STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
  STDMETHODIMP TranslateAccelerator(LPMSG message, const GUID* group, DWORD id) override;
  STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD reserved) override;
  STDMETHODIMP GetDropTarget(IDropTarget* drop_target, IDropTarget** replacement) override;
  STDMETHODIMP GetExternal(IDispatch** external) override;
  STDMETHODIMP TranslateUrl(DWORD reserved, LPWSTR url, LPWSTR* translated) override;
  STDMETHODIMP FilterDataObject(IDataObject* object, IDataObject** replacement) override;

  LONG refs;                                         // changed only with interlocked operations
  IOleInPlaceActiveObject* active_object = nullptr;  // owned, set by SetActiveObject

 private:
  ~BrowserSite() = default;
};

// Receives the control's DWebBrowserEvents2 events through IDispatch. Created
// with one reference (the host's); deletes itself at zero.
class BrowserEventSink final : public IDispatch {
 public:
  // A sink reporting to `owner` (not owned; may be null), with `refs` = 1.
  explicit BrowserEventSink(BrowserHost* owner);
  BrowserEventSink(const BrowserEventSink&) = delete;
  BrowserEventSink& operator=(const BrowserEventSink&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                             DISPID* ids) override;
  // Cancels a play navigation of the host's own browser (not of a frame in
  // the page) to the host's site (BeforeNavigate2, IsSitePlayNavigation) and
  // hands its URL to the host's callback; always S_OK. Touches nothing after
  // the call.
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override;

  BrowserHost* host;  // not owned
  LONG refs;          // changed only with interlocked operations

 private:
  ~BrowserEventSink() = default;
};

// Owner of the control. Create and Destroy may alternate any number of times
// on one instance; interface pointers are owned references.
class BrowserHost {
 public:
  BrowserHost() = default;
  BrowserHost(const BrowserHost&) = delete;
  BrowserHost& operator=(const BrowserHost&) = delete;
  // Releases the control (Destroy).
  ~BrowserHost();

  // Writes the browser emulation setting for this executable (per user).
  static void EnsureBrowserEmulation();

  // Creates the control in `window` and navigates it to `url`; play
  // navigations to the host of `url` go to `callback` instead. False with
  // `last_error` set when the control cannot run. Expects an empty host.
  bool Create(HWND window, const std::wstring& url, PlayNavigationCallback callback);

  // Fits the control to the window's client area.
  void Resize(int width, int height);

  // Whether a text field of the shown page has the keyboard focus.
  bool HasTextFocus();

  // Offers a message to the control's accelerators; true when it used it.
  bool TranslateAcceleratorW(MSG* message);

  // Releases the control; safe on an empty host and from its own callbacks.
  void Destroy();

  // The host's interface pointers are plain members, released by Destroy in
  // the order the control needs; locals use ComPtr.
  HWND parent = nullptr;
  IOleObject* ole_object = nullptr;
  IOleInPlaceObject* inplace_object = nullptr;  // may stay null
  IWebBrowser2* web_browser = nullptr;
  BrowserSite* site = nullptr;
  BrowserEventSink* sink = nullptr;
  DWORD advise_cookie = 0;  // 0 = the sink is not connected
  std::wstring last_error;
  PlayNavigationCallback on_navigate;  // may be empty
  std::wstring start_url;              // the site's address, as Create got it

 private:
  // The steps of Create. CreateControl sets `last_error` when it fails.
  bool CreateControl(HWND window, RECT* client);  // ole_object, site, inplace_object, web_browser
  void ConnectEvents();                           // sink, advise_cookie; silent on failure
  void NavigateTo(const std::wstring& url);       // with the client's header
};
