// The container side of in-place activation shared by the two hosted
// controls (the web browser and the media control).
#pragma once

#include <windows.h>
#include <ole2.h>

// The faces IOleClientSite, IOleInPlaceSite and IOleInPlaceFrame, in that
// order, with the answers both hosts give: no moniker, container, menus or
// borders, and the whole client area of `hwnd` as the control's place.
// IUnknown and SetActiveObject are left to the site built on it, which owns
// the object's lifetime.
class OleSiteFaces : public IOleClientSite, public IOleInPlaceSite, public IOleInPlaceFrame {
 public:
  explicit OleSiteFaces(HWND window) : hwnd(window) {}
  OleSiteFaces(const OleSiteFaces&) = delete;
  OleSiteFaces& operator=(const OleSiteFaces&) = delete;

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
