// The stand-in media control object: COM identity, properties, in-place
// activation and the state a host polls.
#include "control.h"

#include <olectl.h>
#include <stdio.h>
#include <string.h>

#include "standin.h"

namespace standin {

const wchar_t* const kTextPropertyNames[kTextPropertyCount] = {
    L"WMode",
    L"Quality2",
    L"AllowScriptAccess",
    L"AllowFullScreen",
    L"AllowFullScreenInteractive",
    L"FlashVars",
    L"Movie",
    L"Quality",
    L"ScaleMode",
    L"AllowNetworking",
};

namespace {

constexpr double kDefaultRate = 24.0;

std::wstring FromBstr(BSTR value) {
  if (!value) return std::wstring();
  return std::wstring(value, SysStringLen(value));
}

std::string RectText(const RECT& r) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%ld,%ld,%ld,%ld", static_cast<long>(r.left),
           static_cast<long>(r.top), static_cast<long>(r.right), static_cast<long>(r.bottom));
  return buffer;
}

}  // namespace

MediaControl::MediaControl() {
  InterlockedIncrement(&g_objects);
  Record("create");
}

MediaControl::~MediaControl() {
  if (job_) {
    job_->Cancel();
    job_->Release();
    job_ = nullptr;
  }
  Deactivate(true);
  if (client_site_) client_site_->Release();
  if (interface_info_) interface_info_->Release();
  if (dispatch_info_) dispatch_info_->Release();
  Record("release");
  InterlockedDecrement(&g_objects);
}

// ---------------------------------------------------------------------------
// IUnknown

HRESULT MediaControl::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
      IsEqualIID(riid, IID_IShockwaveFlash)) {
    *object = static_cast<IShockwaveFlash*>(this);
  } else if (IsEqualIID(riid, IID_IOleObject)) {
    *object = static_cast<IOleObject*>(this);
  } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceObject)) {
    *object = static_cast<IOleInPlaceObject*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG MediaControl::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG MediaControl::Release() {
  LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

// ---------------------------------------------------------------------------
// IDispatch

HRESULT MediaControl::LoadTypeInfo() {
  if (interface_info_) return S_OK;
  ITypeLib* library = nullptr;
  HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  ITypeInfo* info = nullptr;
  hr = library->GetTypeInfoOfGuid(IID_IShockwaveFlash, &info);
  library->Release();
  if (FAILED(hr)) return hr;
  // The dual interface's vtable half is what Invoke calls through.
  HREFTYPE ref = 0;
  ITypeInfo* vtable = nullptr;
  hr = info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref);
  if (SUCCEEDED(hr)) hr = info->GetRefTypeInfo(ref, &vtable);
  if (FAILED(hr)) {
    info->Release();
    return hr;
  }
  dispatch_info_ = info;
  interface_info_ = vtable;
  return S_OK;
}

HRESULT MediaControl::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT MediaControl::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  HRESULT hr = LoadTypeInfo();
  if (FAILED(hr)) return hr;
  dispatch_info_->AddRef();
  *info = dispatch_info_;
  return S_OK;
}

HRESULT MediaControl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  HRESULT hr = LoadTypeInfo();
  if (FAILED(hr)) return hr;
  // The type information compares names without regard to case.
  return DispGetIDsOfNames(interface_info_, names, count, ids);
}

HRESULT MediaControl::Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  HRESULT hr = LoadTypeInfo();
  if (FAILED(hr)) return hr;
  return DispInvoke(static_cast<IShockwaveFlash*>(this), interface_info_, member, flags, params,
                    result, exception, arg_error);
}

// ---------------------------------------------------------------------------
// IShockwaveFlash

long MediaControl::Ticks() const {
  if (!activated_tick_) return 0;
  ULONGLONG elapsed = GetTickCount64() - activated_tick_;
  return static_cast<long>(elapsed * static_cast<ULONGLONG>(kDefaultRate) / 1000);
}

double MediaControl::CounterRate(const LoadStatus& load) const {
  if (load.state == LoadState::kLoaded && load.is_movie && load.header.has_frame_info &&
      load.header.rate > 0.0) {
    return load.header.rate;
  }
  return kDefaultRate;
}

void MediaControl::Current(long* ready_state, long* total_frames, long* frame_num,
                           LoadStatus* load) {
  LoadStatus status;
  if (job_) status = job_->Status();
  long ready = 0;
  if (job_) ready = status.state == LoadState::kLoaded ? 4 : 1;
  long total = 0;
  if (status.state == LoadState::kLoaded && status.is_movie && status.header.has_frame_info) {
    total = status.header.frames;
  }
  long frame = 0;
  if (activated_tick_) {
    // The movie plays from the later of activation and its arrival, at its
    // own rate; before that the counter runs at the default rate.
    ULONGLONG start = activated_tick_;
    double rate = CounterRate(status);
    if (job_ && status.state == LoadState::kLoaded && status.done_tick > start)
      start = status.done_tick;
    ULONGLONG now = GetTickCount64();
    double frames = now > start ? static_cast<double>(now - start) * rate / 1000.0 : 0.0;
    frame = static_cast<long>(frames);
    if (total > 0) frame %= total;
  }
  if (ready_state) *ready_state = ready;
  if (total_frames) *total_frames = total;
  if (frame_num) *frame_num = frame;
  if (load) *load = status;
}

HRESULT MediaControl::get_ReadyState(LONG* state) {
  if (!state) return E_POINTER;
  if (ShouldFail(L"get:ReadyState")) {
    Record("get ReadyState fail " + HexCode(E_FAIL));
    return E_FAIL;
  }
  long value = 0;
  Current(&value, nullptr, nullptr, nullptr);
  *state = value;
  RecordF("get ReadyState=%ld", value);
  return S_OK;
}

HRESULT MediaControl::get_TotalFrames(LONG* frames) {
  if (!frames) return E_POINTER;
  if (ShouldFail(L"get:TotalFrames")) {
    Record("get TotalFrames fail " + HexCode(E_FAIL));
    return E_FAIL;
  }
  long value = 0;
  Current(nullptr, &value, nullptr, nullptr);
  *frames = value;
  RecordF("get TotalFrames=%ld", value);
  return S_OK;
}

HRESULT MediaControl::get_FrameNum(LONG* frame) {
  if (!frame) return E_POINTER;
  if (ShouldFail(L"get:FrameNum")) {
    Record("get FrameNum fail " + HexCode(E_FAIL));
    return E_FAIL;
  }
  long value = 0;
  Current(nullptr, nullptr, &value, nullptr);
  *frame = value;
  RecordF("get FrameNum=%ld", value);
  return S_OK;
}

HRESULT MediaControl::GetText(TextProperty which, BSTR* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  std::wstring name = kTextPropertyNames[which];
  std::string name8 = ToUtf8(name);
  if (ShouldFail((L"get:" + name).c_str())) {
    Record("get " + name8 + " fail " + HexCode(E_FAIL));
    return E_FAIL;
  }
  const std::wstring& text = text_[which];
  *value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!*value) return E_OUTOFMEMORY;
  Record("get " + name8 + "=" + ToUtf8(text));
  return S_OK;
}

HRESULT MediaControl::PutText(TextProperty which, BSTR value) {
  std::wstring name = kTextPropertyNames[which];
  std::wstring text = FromBstr(value);
  std::string line = "put " + ToUtf8(name) + "=" + ToUtf8(text);
  if (ShouldFail((L"crash:" + name).c_str())) {
    Record(line + " crash");
    CrashHere();
  }
  if (ShouldFail((L"crash-locked:" + name).c_str())) {
    Record(line + " crash-locked");
    CrashHoldingLoaderLock();
  }
  if (ShouldFail((L"property:" + name).c_str())) {
    Record(line + " fail " + HexCode(E_INVALIDARG));
    return E_INVALIDARG;
  }
  text_[which] = text;
  Record(line);
  if (which == kMovie) {
    if (job_) {
      job_->Cancel();
      job_->Release();
      job_ = nullptr;
    }
    if (!text.empty()) job_ = LoadJob::Start(text, window_);
    if (!text.empty()) fullscreen_.OpenIfAsked(window_ ? window_ : parent_);
  }
  if (window_) InvalidateRect(window_, nullptr, FALSE);
  return S_OK;
}

// ---------------------------------------------------------------------------
// IOleObject

HRESULT MediaControl::SetClientSite(IOleClientSite* site) {
  if (!site && (window_ || inplace_site_)) Deactivate(true);
  if (site) site->AddRef();
  if (client_site_) client_site_->Release();
  client_site_ = site;
  Record(site ? "set_client_site" : "set_client_site null");
  return S_OK;
}

HRESULT MediaControl::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = client_site_;
  if (client_site_) client_site_->AddRef();
  return S_OK;
}

HRESULT MediaControl::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

HRESULT MediaControl::Close(DWORD) {
  fullscreen_.Close();
  Deactivate(true);
  Record("close");
  return S_OK;
}

HRESULT MediaControl::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

HRESULT MediaControl::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (moniker) *moniker = nullptr;
  return E_NOTIMPL;
}

HRESULT MediaControl::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

HRESULT MediaControl::GetClipboardData(DWORD, IDataObject** data) {
  if (data) *data = nullptr;
  return E_NOTIMPL;
}

HRESULT MediaControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent,
                             LPCRECT pos) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_SHOW:
    case OLEIVERB_UIACTIVATE:
    case OLEIVERB_INPLACEACTIVATE: {
      if (!window_ && ShouldFail(L"activate")) {
        Record("activate fail " + HexCode(E_FAIL));
        return E_FAIL;
      }
      if (!client_site_ && site) SetClientSite(site);
      HRESULT hr = ActivateInPlace(parent, pos);
      if (SUCCEEDED(hr) && window_) ShowWindow(window_, SW_SHOW);
      return hr;
    }
    case OLEIVERB_HIDE:
      if (window_) ShowWindow(window_, SW_HIDE);
      return S_OK;
    case OLEIVERB_DISCARDUNDOSTATE:
      return S_OK;
    default:
      if (verb > 0) {
        // Unknown positive verbs act as the primary verb.
        HRESULT hr = DoVerb(OLEIVERB_PRIMARY, nullptr, site, 0, parent, pos);
        return SUCCEEDED(hr) ? OLEOBJ_S_INVALIDVERB : hr;
      }
      return E_NOTIMPL;
  }
}

HRESULT MediaControl::EnumVerbs(IEnumOLEVERB** verbs) {
  if (verbs) *verbs = nullptr;
  return E_NOTIMPL;
}

HRESULT MediaControl::Update() { return S_OK; }

HRESULT MediaControl::IsUpToDate() { return S_OK; }

HRESULT MediaControl::GetUserClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_ShockwaveFlash;
  return S_OK;
}

HRESULT MediaControl::GetUserType(DWORD, LPOLESTR* type) {
  if (!type) return E_POINTER;
  static const wchar_t kName[] = L"Media control stand-in";
  *type = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof kName));
  if (!*type) return E_OUTOFMEMORY;
  memcpy(*type, kName, sizeof kName);
  return S_OK;
}

HRESULT MediaControl::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  extent_ = *size;
  return S_OK;
}

HRESULT MediaControl::GetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  *size = extent_;
  return S_OK;
}

HRESULT MediaControl::Advise(IAdviseSink*, DWORD* cookie) {
  if (cookie) *cookie = 0;
  return E_NOTIMPL;
}

HRESULT MediaControl::Unadvise(DWORD) { return E_NOTIMPL; }

HRESULT MediaControl::EnumAdvise(IEnumSTATDATA** advise) {
  if (advise) *advise = nullptr;
  return E_NOTIMPL;
}

HRESULT MediaControl::GetMiscStatus(DWORD, DWORD* status) {
  if (!status) return E_POINTER;
  *status = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
            OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
  return S_OK;
}

HRESULT MediaControl::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---------------------------------------------------------------------------
// In-place activation

HRESULT MediaControl::ActivateInPlace(HWND fallback_parent, LPCRECT fallback_pos) {
  if (window_) return S_OK;  // already active
  if (!client_site_) {
    Record("activate fail " + HexCode(E_UNEXPECTED));
    return E_UNEXPECTED;
  }
  IOleInPlaceSite* site = nullptr;
  HRESULT hr = client_site_->QueryInterface(IID_IOleInPlaceSite, reinterpret_cast<void**>(&site));
  if (FAILED(hr) || !site) {
    if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
    Record("activate fail " + HexCode(hr));
    return hr;
  }
  hr = site->CanInPlaceActivate();
  if (hr != S_OK) {
    site->Release();
    Record("activate fail " + HexCode(E_FAIL));
    return E_FAIL;
  }
  hr = site->OnInPlaceActivate();
  if (FAILED(hr)) {
    site->Release();
    Record("activate fail " + HexCode(hr));
    return hr;
  }
  HWND parent = nullptr;
  if (FAILED(site->GetWindow(&parent)) || !parent) parent = fallback_parent;
  if (!parent || !IsWindow(parent)) {
    site->OnInPlaceDeactivate();
    site->Release();
    Record("activate fail " + HexCode(E_FAIL));
    return E_FAIL;
  }
  IOleInPlaceFrame* frame = nullptr;
  IOleInPlaceUIWindow* document = nullptr;
  RECT pos = {0, 0, 0, 0}, clip = {0, 0, 0, 0};
  OLEINPLACEFRAMEINFO frame_info = {};
  frame_info.cb = sizeof frame_info;
  hr = site->GetWindowContext(&frame, &document, &pos, &clip, &frame_info);
  if (frame) frame->Release();
  if (document) document->Release();
  if (FAILED(hr)) {
    if (fallback_pos) {
      pos = *fallback_pos;
    } else {
      GetClientRect(parent, &pos);
    }
    clip = pos;
  }
  parent_ = parent;
  pos_ = pos;
  clip_ = clip;
  window_ = CreateControlWindow(this, parent, pos_);
  if (!window_) {
    DWORD code = GetLastError();
    site->OnInPlaceDeactivate();
    site->Release();
    hr = code ? HRESULT_FROM_WIN32(code) : E_FAIL;
    Record("activate fail " + HexCode(hr));
    return hr;
  }
  inplace_site_ = site;
  activated_tick_ = GetTickCount64();
  if (!activated_tick_) activated_tick_ = 1;
  if (job_) job_->SetNotify(window_);
  ApplyRects();
  Record("activate");
  return S_OK;
}

void MediaControl::Deactivate(bool record) {
  if (!window_ && !inplace_site_) return;
  if (job_) job_->SetNotify(nullptr);
  HWND window = window_;
  window_ = nullptr;
  activated_tick_ = 0;
  focused_ = false;
  if (window) {
    // The window no longer reaches this object, whoever destroys it.
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
      DestroyWindow(window);
    } else {
      PostMessageW(window, WM_CLOSE, 0, 0);
    }
  }
  if (inplace_site_) {
    IOleInPlaceSite* site = inplace_site_;
    inplace_site_ = nullptr;
    site->OnInPlaceDeactivate();
    site->Release();
  }
  if (record) Record("deactivate");
}

void MediaControl::ApplyRects() {
  if (!window_) return;
  MoveWindow(window_, pos_.left, pos_.top, pos_.right - pos_.left, pos_.bottom - pos_.top, TRUE);
  // Show only the part inside the clip rectangle.
  RECT visible;
  if (IntersectRect(&visible, &pos_, &clip_) && EqualRect(&visible, &pos_)) {
    SetWindowRgn(window_, nullptr, TRUE);
  } else {
    if (IsRectEmpty(&visible)) SetRectEmpty(&visible);
    OffsetRect(&visible, -pos_.left, -pos_.top);
    HRGN region = CreateRectRgnIndirect(&visible);
    if (region && !SetWindowRgn(window_, region, TRUE)) DeleteObject(region);
  }
  InvalidateRect(window_, nullptr, FALSE);
}

// ---------------------------------------------------------------------------
// IOleWindow / IOleInPlaceObject

HRESULT MediaControl::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = window_;
  return window_ ? S_OK : E_FAIL;
}

HRESULT MediaControl::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT MediaControl::InPlaceDeactivate() {
  Deactivate(true);
  return S_OK;
}

HRESULT MediaControl::UIDeactivate() { return S_OK; }

HRESULT MediaControl::SetObjectRects(LPCRECT pos, LPCRECT clip) {
  if (!pos) return E_INVALIDARG;
  pos_ = *pos;
  clip_ = clip ? *clip : *pos;
  std::string line = "rects " + RectText(pos_);
  if (!EqualRect(&pos_, &clip_)) line += " clip=" + RectText(clip_);
  Record(line);
  ApplyRects();
  return S_OK;
}

HRESULT MediaControl::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }

// ---------------------------------------------------------------------------
// For the view

ViewState MediaControl::Snapshot() {
  ViewState view;
  for (int i = 0; i < kTextPropertyCount; ++i) view.text[i] = text_[i];
  Current(&view.ready_state, &view.total_frames, &view.frame_num, &view.load);
  view.has_job = job_ != nullptr;
  view.ticks = Ticks();
  view.rate = CounterRate(view.load);
  view.focused = focused_;
  view.last_char = last_char_;
  return view;
}

void MediaControl::OnWindowDestroyed() {
  // Destroyed from outside (for example with its parent): the control stays
  // in-place active until the host deactivates it, but has no window.
  if (job_) job_->SetNotify(nullptr);
  window_ = nullptr;
  focused_ = false;
}

void MediaControl::OnFocus(bool focused) {
  focused_ = focused;
  Record(focused ? "focus" : "blur");
}

}  // namespace standin
