// The stand-in media control object: IShockwaveFlash (dual, first base so
// that its vtable is the object's primary one), IOleObject and
// IOleInPlaceObject (with IOleWindow).
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>

#include "fullscreen.h"
#include "movie_fetch.h"
#include "standin_idl.h"

namespace standin {

// The text properties, in the order of the interface.
enum TextProperty {
  kWMode,
  kQuality2,
  kAllowScriptAccess,
  kAllowFullScreen,
  kAllowFullScreenInteractive,
  kFlashVars,
  kMovie,
  kQuality,
  kScaleMode,
  kAllowNetworking,
  kTextPropertyCount
};

extern const wchar_t* const kTextPropertyNames[kTextPropertyCount];

// The window class of the control's window.
extern const wchar_t kWindowClassName[];

// Everything the view paints, taken in one go.
struct ViewState {
  std::wstring text[kTextPropertyCount];
  long ready_state = 0;
  long total_frames = 0;
  long frame_num = 0;
  long ticks = 0;      // frames shown since activation
  double rate = 24.0;  // frames per second of the counter
  bool has_job = false;
  LoadStatus load;
  bool focused = false;
  wchar_t last_char = 0;
};

class MediaControl final : public IShockwaveFlash, public IOleObject, public IOleInPlaceObject {
 public:
  MediaControl();

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch, through the type library's description of IShockwaveFlash.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override;

  // IShockwaveFlash, in vtable order.
  HRESULT STDMETHODCALLTYPE get_ReadyState(LONG* state) override;
  HRESULT STDMETHODCALLTYPE get_TotalFrames(LONG* frames) override;
  HRESULT STDMETHODCALLTYPE get_FrameNum(LONG* frame) override;
  HRESULT STDMETHODCALLTYPE get_WMode(BSTR* value) override { return GetText(kWMode, value); }
  HRESULT STDMETHODCALLTYPE put_WMode(BSTR value) override { return PutText(kWMode, value); }
  HRESULT STDMETHODCALLTYPE get_Quality2(BSTR* value) override { return GetText(kQuality2, value); }
  HRESULT STDMETHODCALLTYPE put_Quality2(BSTR value) override { return PutText(kQuality2, value); }
  HRESULT STDMETHODCALLTYPE get_AllowScriptAccess(BSTR* value) override {
    return GetText(kAllowScriptAccess, value);
  }
  HRESULT STDMETHODCALLTYPE put_AllowScriptAccess(BSTR value) override {
    return PutText(kAllowScriptAccess, value);
  }
  HRESULT STDMETHODCALLTYPE get_AllowFullScreen(BSTR* value) override {
    return GetText(kAllowFullScreen, value);
  }
  HRESULT STDMETHODCALLTYPE put_AllowFullScreen(BSTR value) override {
    return PutText(kAllowFullScreen, value);
  }
  HRESULT STDMETHODCALLTYPE get_AllowFullScreenInteractive(BSTR* value) override {
    return GetText(kAllowFullScreenInteractive, value);
  }
  HRESULT STDMETHODCALLTYPE put_AllowFullScreenInteractive(BSTR value) override {
    return PutText(kAllowFullScreenInteractive, value);
  }
  HRESULT STDMETHODCALLTYPE get_FlashVars(BSTR* value) override {
    return GetText(kFlashVars, value);
  }
  HRESULT STDMETHODCALLTYPE put_FlashVars(BSTR value) override {
    return PutText(kFlashVars, value);
  }
  HRESULT STDMETHODCALLTYPE get_Movie(BSTR* value) override { return GetText(kMovie, value); }
  HRESULT STDMETHODCALLTYPE put_Movie(BSTR value) override { return PutText(kMovie, value); }
  HRESULT STDMETHODCALLTYPE get_Quality(BSTR* value) override { return GetText(kQuality, value); }
  HRESULT STDMETHODCALLTYPE put_Quality(BSTR value) override { return PutText(kQuality, value); }
  HRESULT STDMETHODCALLTYPE get_ScaleMode(BSTR* value) override {
    return GetText(kScaleMode, value);
  }
  HRESULT STDMETHODCALLTYPE put_ScaleMode(BSTR value) override {
    return PutText(kScaleMode, value);
  }
  HRESULT STDMETHODCALLTYPE get_AllowNetworking(BSTR* value) override {
    return GetText(kAllowNetworking, value);
  }
  HRESULT STDMETHODCALLTYPE put_AllowNetworking(BSTR value) override {
    return PutText(kAllowNetworking, value);
  }

  // IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override;
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** site) override;
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  HRESULT STDMETHODCALLTYPE Close(DWORD save_option) override;
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD which, IMoniker* moniker) override;
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD reserved, IDataObject** data) override;
  HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index,
                                   HWND parent, LPCRECT pos) override;
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** verbs) override;
  HRESULT STDMETHODCALLTYPE Update() override;
  HRESULT STDMETHODCALLTYPE IsUpToDate() override;
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* clsid) override;
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* type) override;
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override;
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** advise) override;
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override;
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* palette) override;

  // IOleWindow
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enter) override;

  // IOleInPlaceObject
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
  HRESULT STDMETHODCALLTYPE UIDeactivate() override;
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;

  // For the window procedure (view.cpp).
  ViewState Snapshot();
  void OnWindowDestroyed();
  void OnFocus(bool focused);
  void OnChar(wchar_t c) { last_char_ = c; }

 private:
  ~MediaControl();

  HRESULT GetText(TextProperty which, BSTR* value);
  HRESULT PutText(TextProperty which, BSTR value);
  HRESULT ActivateInPlace(HWND fallback_parent, LPCRECT fallback_pos);
  void Deactivate(bool record);
  HRESULT LoadTypeInfo();
  void ApplyRects();
  long Ticks() const;
  double CounterRate(const LoadStatus& load) const;
  void Current(long* ready_state, long* total_frames, long* frame_num, LoadStatus* load);

  volatile LONG refs_ = 1;
  IOleClientSite* client_site_ = nullptr;
  IOleInPlaceSite* inplace_site_ = nullptr;
  ITypeInfo* dispatch_info_ = nullptr;   // TKIND_DISPATCH description
  ITypeInfo* interface_info_ = nullptr;  // TKIND_INTERFACE description (vtable)
  HWND parent_ = nullptr;
  HWND window_ = nullptr;
  RECT pos_ = {0, 0, 0, 0};
  RECT clip_ = {0, 0, 0, 0};
  SIZEL extent_ = {26458, 15875};  // 1000 x 600 pixels at 96 dpi, in HIMETRIC
  std::wstring text_[kTextPropertyCount];
  LoadJob* job_ = nullptr;
  ULONGLONG activated_tick_ = 0;
  bool focused_ = false;
  wchar_t last_char_ = 0;
  FullscreenWindow fullscreen_;
};

// Creates the window of an in-place active control (view.cpp).
HWND CreateControlWindow(MediaControl* control, HWND parent, const RECT& pos);

// Frees the view's fonts and, when asked, unregisters its window class.
void ReleaseViewResources(bool unregister);

}  // namespace standin
