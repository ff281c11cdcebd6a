// The container side of in-place activation shared by the two hosted
// controls (the web browser and the media control).
#pragma once

#include <windows.h>
#include <ole2.h>

// The faces IOleClientSite, IOleInPlaceSite and IOleInPlaceFrame, in that
// order, with the answers both hosts give: no moniker, container, menus or
// borders, and the whole client area of `hwnd` as the control's place.
// AddRef, Release and SetActiveObject are left to the site built on it,
// which owns the object's lifetime.
class OleSiteFaces : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame {
 public:
  explicit OleSiteFaces(HWND window) : hwnd(window) {}
  OleSiteFaces(const OleSiteFaces&) = delete;
  OleSiteFaces& operator=(const OleSiteFaces&) = delete;

  // IUnknown and IOleClientSite give the client-site face, IOleWindow and
  // IOleInPlaceSite the in-place face, IOleInPlaceUIWindow and
  // IOleInPlaceFrame the frame face, each with a reference; anything else
  // E_NOINTERFACE (null out: E_POINTER).
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;

  // IOleClientSite.
  STDMETHODIMP SaveObject() override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  STDMETHODIMP GetContainer(IOleContainer** container) override;
  STDMETHODIMP ShowObject() override;
  STDMETHODIMP OnShowWindow(BOOL show) override;
  STDMETHODIMP RequestNewObjectLayout() override;

  // IOleWindow, shared by the in-place site and the frame.
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;

  // IOleInPlaceSite.
  STDMETHODIMP CanInPlaceActivate() override;
  STDMETHODIMP OnInPlaceActivate() override;
  STDMETHODIMP OnUIActivate() override;
  // The frame comes with a reference (the caller's); no document window.
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                LPRECT position, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO frame_info) override;
  STDMETHODIMP Scroll(SIZE extent) override;
  STDMETHODIMP OnUIDeactivate(BOOL undoable) override;
  STDMETHODIMP OnInPlaceDeactivate() override;
  STDMETHODIMP DiscardUndoState() override;
  STDMETHODIMP DeactivateAndUndo() override;
  STDMETHODIMP OnPosRectChange(LPCRECT position) override;

  // IOleInPlaceUIWindow (SetActiveObject is the site's own).
  STDMETHODIMP GetBorder(LPRECT border) override;
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS widths) override;
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS widths) override;

  // IOleInPlaceFrame.
  STDMETHODIMP InsertMenus(HMENU menu, LPOLEMENUGROUPWIDTHS widths) override;
  STDMETHODIMP SetMenu(HMENU menu, HOLEMENU shared, HWND active_object) override;
  STDMETHODIMP RemoveMenus(HMENU menu) override;
  STDMETHODIMP SetStatusText(LPCOLESTR text) override;
  STDMETHODIMP EnableModeless(BOOL enable) override;
  // S_FALSE: the frame has no accelerators, so the key is not used here.
  STDMETHODIMP TranslateAccelerator(LPMSG message, WORD id) override;

  HWND hwnd;  // the container window, not owned

 protected:
  ~OleSiteFaces() = default;
};

// Releases `pointer` when it is set and leaves it null.
template <typename T>
void ReleaseAndClear(T*& pointer) {
  if (pointer) {
    pointer->Release();
    pointer = nullptr;
  }
}

// The step of EmbedControl that failed.
enum class EmbedStep { kSetClientSite, kActivate };

// Puts a created control into `window`: hands it `site`, then activates it
// in place over the window's client area, which `client` receives. S_OK, or
// the failing call's result with `failed` naming its step.
HRESULT EmbedControl(IOleObject* control, IOleClientSite* site, HWND window, RECT* client,
                     EmbedStep* failed);

// Gives an in-place control (may be null: nothing happens) the rectangle
// (0, 0, width, height) of its window, as position and clip.
void ResizeInPlace(IOleInPlaceObject* inplace, int width, int height);

// The end of either host's teardown, in the order the control needs: it
// leaves its window, closes and drops the site, and only then does the
// host let go of the site. Each member is released only when set, and is
// null afterwards.
template <typename Site>
void ReleaseControl(IOleInPlaceObject*& inplace, IOleObject*& control, Site*& site) {
  if (inplace) {
    inplace->InPlaceDeactivate();
    ReleaseAndClear(inplace);
  }
  if (control) {
    control->Close(OLECLOSE_NOSAVE);
    control->SetClientSite(nullptr);
    ReleaseAndClear(control);
  }
  ReleaseAndClear(site);
}
