#include "app/ole_site.h"

STDMETHODIMP OleSiteFaces::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite)) {
    *out = static_cast<IOleClientSite*>(this);
  } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite)) {
    *out = static_cast<IOleInPlaceSite*>(this);
  } else if (IsEqualIID(iid, IID_IOleInPlaceUIWindow) || IsEqualIID(iid, IID_IOleInPlaceFrame)) {
    *out = static_cast<IOleInPlaceFrame*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IOleClientSite*>(this)->AddRef();
  return S_OK;
}

STDMETHODIMP OleSiteFaces::SaveObject() { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::GetMoniker(DWORD, DWORD, IMoniker**) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::GetContainer(IOleContainer** container) {
  if (container) *container = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP OleSiteFaces::ShowObject() { return S_OK; }

STDMETHODIMP OleSiteFaces::OnShowWindow(BOOL) { return S_OK; }

STDMETHODIMP OleSiteFaces::RequestNewObjectLayout() { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = hwnd;
  return S_OK;
}

STDMETHODIMP OleSiteFaces::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::CanInPlaceActivate() { return S_OK; }

STDMETHODIMP OleSiteFaces::OnInPlaceActivate() { return S_OK; }

STDMETHODIMP OleSiteFaces::OnUIActivate() { return S_OK; }

STDMETHODIMP OleSiteFaces::GetWindowContext(IOleInPlaceFrame** frame,
                                            IOleInPlaceUIWindow** document, LPRECT position,
                                            LPRECT clip, LPOLEINPLACEFRAMEINFO frame_info) {
  if (frame) {
    *frame = static_cast<IOleInPlaceFrame*>(this);
    (*frame)->AddRef();
  }
  if (document) *document = nullptr;
  RECT client = {};
  GetClientRect(hwnd, &client);
  if (position) *position = client;
  if (clip) *clip = client;
  if (frame_info) {
    // cb belongs to the caller: it says which version of the record it has.
    frame_info->fMDIApp = FALSE;
    frame_info->hwndFrame = hwnd;
    frame_info->haccel = nullptr;
    frame_info->cAccelEntries = 0;
  }
  return S_OK;
}

STDMETHODIMP OleSiteFaces::Scroll(SIZE) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::OnUIDeactivate(BOOL) { return S_OK; }

STDMETHODIMP OleSiteFaces::OnInPlaceDeactivate() { return S_OK; }

STDMETHODIMP OleSiteFaces::DiscardUndoState() { return S_OK; }

STDMETHODIMP OleSiteFaces::DeactivateAndUndo() { return S_OK; }

STDMETHODIMP OleSiteFaces::OnPosRectChange(LPCRECT) { return S_OK; }

STDMETHODIMP OleSiteFaces::GetBorder(LPRECT) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::RequestBorderSpace(LPCBORDERWIDTHS) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::SetBorderSpace(LPCBORDERWIDTHS) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::SetMenu(HMENU, HOLEMENU, HWND) { return S_OK; }

STDMETHODIMP OleSiteFaces::RemoveMenus(HMENU) { return E_NOTIMPL; }

STDMETHODIMP OleSiteFaces::SetStatusText(LPCOLESTR) { return S_OK; }

STDMETHODIMP OleSiteFaces::EnableModeless(BOOL) { return S_OK; }

STDMETHODIMP OleSiteFaces::TranslateAccelerator(LPMSG, WORD) { return S_FALSE; }

HRESULT EmbedControl(IOleObject* control, IOleClientSite* site, HWND window, RECT* client,
                     EmbedStep* failed) {
  *failed = EmbedStep::kSetClientSite;
  HRESULT hr = control->SetClientSite(site);
  if (FAILED(hr)) return hr;
  *failed = EmbedStep::kActivate;
  GetClientRect(window, client);
  return control->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site, 0, window, client);
}

void ResizeInPlace(IOleInPlaceObject* inplace, int width, int height) {
  if (!inplace) return;
  const RECT area = {0, 0, width, height};
  inplace->SetObjectRects(&area, &area);
}
