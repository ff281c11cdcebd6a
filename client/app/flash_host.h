// Hosts the Flash Player ActiveX control that plays the game movie. The
// control is loaded straight from its file, created through the file's own
// class factory and driven through the file's own type library, so nothing
// has to be registered on the player's machine.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>

#include "app/ole_site.h"

// The control's own interface. It is dual, so it starts with IDispatch; its
// own methods are never called directly, only through FlashHost::type_info.
struct IShockwaveFlash : public IDispatch {};

// The client site handed to the control: one COM object with the faces
// IOleClientSite, IOleInPlaceSite and IOleInPlaceFrame, in that order (see
// OleSiteFaces). Created with one reference (the host's); deletes itself at
// zero.
class FlashSite final : public OleSiteFaces {
 public:
  // A site for the container window `window`, with `refs` = 1.
  explicit FlashSite(HWND window);
  FlashSite(const FlashSite&) = delete;
  FlashSite& operator=(const FlashSite&) = delete;

  // IUnknown, shared by the three faces (QueryInterface is the faces' own:
  // no document-host handler, so the control keeps its defaults).
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IOleInPlaceUIWindow: the active object is not kept.
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR name) override;

  LONG refs;  // changed only with interlocked operations

 private:
  ~FlashSite() = default;
};

// Owner of the control. Create and Destroy may alternate any number of times
// on one instance; interface pointers are owned references.
class FlashHost {
 public:
  FlashHost() = default;
  FlashHost(const FlashHost&) = delete;
  FlashHost& operator=(const FlashHost&) = delete;
  // Releases the control (Destroy).
  ~FlashHost();

  // Loads the control from the file at `path`, activates it in place in
  // `window` and reads its type description. False with `last_error` set
  // when a step fails; whatever an earlier failed attempt left is released
  // first.
  bool Create(HWND window, const std::wstring& path);

  // Sets a property by name to a string value; false (with `last_error`
  // set) when the control does not know it or refuses the value.
  bool SetProperty(const wchar_t* name, const std::wstring& value);

  // A property by name as a 32-bit number, or -1 when it cannot be read or
  // converted. Never touches `last_error`.
  long GetLong(const wchar_t* name);

  // Gives the control the rectangle (0, 0, width, height) of the window.
  void Resize(int width, int height);

  // Releases the control, site and descriptions in a fixed order; safe on an
  // empty or half-built host and when called again. The file stays loaded.
  void Destroy();

  // The host's interface pointers are plain members, released by Destroy in
  // the order the control needs; locals use ComPtr.
  HMODULE module = nullptr;  // never unloaded
  IOleObject* ole_object = nullptr;
  IOleInPlaceObject* inplace_object = nullptr;  // may stay null
  IShockwaveFlash* flash = nullptr;             // the instance type_info calls on
  ITypeInfo* type_info = nullptr;               // the interface's description
  FlashSite* site = nullptr;
  HWND parent = nullptr;
  std::wstring last_error;

 private:
  // The steps of Create; each sets `last_error` when it fails.
  bool CreateControl(const std::wstring& path);     // module, ole_object
  bool ActivateControl(HWND window, RECT* client);  // site, inplace_object, flash
  bool ReadDescription(const std::wstring& path);   // type_info
};
