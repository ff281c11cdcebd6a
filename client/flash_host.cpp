#include "flash_host.h"

#include <cwchar>

namespace {

// {D27CDB6E-AE6D-11CF-96B8-444553540000}: the Flash Player control.
const CLSID kClsidShockwaveFlash = {
    0xD27CDB6E, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// {D27CDB6C-AE6D-11CF-96B8-444553540000}: its IShockwaveFlash interface.
const IID kIidShockwaveFlash = {
    0xD27CDB6C, 0xAE6D, 0x11CF, {0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// "text (0x8007007E)": the shape of every failure text that carries a code.
std::wstring WithCode(const wchar_t* text, HRESULT code) {
  wchar_t buffer[128] = {};
  // One less than the buffer, with the last element kept zero, so a long
  // property name is cut short instead of losing its terminator.
  _snwprintf(buffer, 127, L"%ls (0x%08lX)", text, static_cast<unsigned long>(code));
  return buffer;
}

// The platform's HRESULT_FROM_WIN32 rule, written out for the loader's error.
HRESULT FromSystemError(DWORD error) {
  if (static_cast<LONG>(error) <= 0) return static_cast<HRESULT>(error);
  return static_cast<HRESULT>((error & 0xFFFF) | 0x80070000UL);
}

}  // namespace

// ---------------------------------------------------------------------------
// FlashSite

FlashSite::FlashSite(HWND window) : OleSiteFaces(window), refs(1) {}

STDMETHODIMP FlashSite::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite)) {
    *out = static_cast<IOleClientSite*>(this);
  } else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceSite)) {
    *out = static_cast<IOleInPlaceSite*>(this);
  } else if (IsEqualIID(iid, IID_IOleInPlaceUIWindow) || IsEqualIID(iid, IID_IOleInPlaceFrame)) {
    *out = static_cast<IOleInPlaceFrame*>(this);
  } else {
    // In particular no document-host handler: the control keeps its defaults.
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) FlashSite::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs)); }

STDMETHODIMP_(ULONG) FlashSite::Release() {
  const LONG count = InterlockedDecrement(&refs);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

// The active object is not kept: the site has no UI of its own to merge.
STDMETHODIMP FlashSite::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) { return S_OK; }

// ---------------------------------------------------------------------------
// FlashHost

FlashHost::~FlashHost() { Destroy(); }

bool FlashHost::Create(HWND window, const std::wstring& path) {
  // A launch that failed part-way may be retried without a Destroy in
  // between; what that attempt left behind would otherwise leak.
  Destroy();

  parent = window;
  module = LoadLibraryW(path.c_str());
  if (!module) {
    last_error = WithCode(L"Flash.ocx yuklenemedi", FromSystemError(GetLastError()));
    return false;
  }

  // The detour through void(*)() is the cast the compiler accepts between
  // function types.
  const auto get_class_object = reinterpret_cast<DllGetClassObjectFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
  if (!get_class_object) {
    last_error = L"Flash.ocx icinde DllGetClassObject yok";
    return false;
  }

  IClassFactory* factory = nullptr;
  HRESULT hr =
      get_class_object(kClsidShockwaveFlash, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr) || !factory) {
    last_error = WithCode(L"Flash sinif fabrikasi alinamadi", FAILED(hr) ? hr : E_POINTER);
    return false;
  }

  hr = factory->CreateInstance(nullptr, IID_IOleObject, reinterpret_cast<void**>(&ole_object));
  factory->Release();
  if (FAILED(hr) || !ole_object) {
    ole_object = nullptr;
    last_error = WithCode(L"Flash nesnesi olusturulamadi", FAILED(hr) ? hr : E_POINTER);
    return false;
  }

  site = new FlashSite(window);
  IOleClientSite* client_site = static_cast<IOleClientSite*>(site);
  hr = ole_object->SetClientSite(client_site);
  if (FAILED(hr)) {
    last_error = WithCode(L"SetClientSite", hr);
    return false;
  }

  RECT client = {};
  GetClientRect(window, &client);
  hr = ole_object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, client_site, 0, window, &client);
  if (FAILED(hr)) {
    last_error = WithCode(L"Flash etkinlestirilemedi", hr);
    return false;
  }

  // Without the in-place interface the control still plays; it just cannot
  // be resized.
  if (FAILED(ole_object->QueryInterface(IID_IOleInPlaceObject,
                                        reinterpret_cast<void**>(&inplace_object)))) {
    inplace_object = nullptr;
  }
  hr = ole_object->QueryInterface(kIidShockwaveFlash, reinterpret_cast<void**>(&flash));
  if (FAILED(hr) || !flash) {
    flash = nullptr;
    last_error = WithCode(L"IShockwaveFlash yok", FAILED(hr) ? hr : E_NOINTERFACE);
    return false;
  }

  // The control's own type library, read from the file without registering
  // anything, describes its properties by name.
  ITypeLib* library = nullptr;
  hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr) || !library) {
    last_error = WithCode(L"Flash tur kitapligi okunamadi", FAILED(hr) ? hr : E_POINTER);
    return false;
  }
  ITypeInfo* description = nullptr;
  hr = library->GetTypeInfoOfGuid(kIidShockwaveFlash, &description);
  library->Release();
  if (FAILED(hr) || !description) {
    last_error = WithCode(L"IShockwaveFlash tur bilgisi yok", FAILED(hr) ? hr : E_POINTER);
    return false;
  }

  // For a dual interface the library returns the dispatch description;
  // Invoke on the instance we hold needs the vtable one behind it.
  TYPEATTR* attributes = nullptr;
  if (SUCCEEDED(description->GetTypeAttr(&attributes)) && attributes) {
    const bool dispatch = attributes->typekind == TKIND_DISPATCH;
    const bool dual = (attributes->wTypeFlags & TYPEFLAG_FDUAL) != 0;
    description->ReleaseTypeAttr(attributes);
    if (dispatch && dual) {
      HREFTYPE reference = 0;
      ITypeInfo* vtable = nullptr;
      if (SUCCEEDED(description->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference)) &&
          SUCCEEDED(description->GetRefTypeInfo(reference, &vtable)) && vtable) {
        description->Release();
        description = vtable;
      }
    }
  }
  type_info = description;

  if (inplace_object) {
    const RECT area = {0, 0, client.right - client.left, client.bottom - client.top};
    inplace_object->SetObjectRects(&area, &area);
  }
  return true;
}

bool FlashHost::SetProperty(const wchar_t* name, const std::wstring& value) {
  if (!flash || !type_info) return false;

  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  MEMBERID member = MEMBERID_NIL;
  HRESULT hr = type_info->GetIDsOfNames(names, 1, &member);
  if (FAILED(hr)) {
    last_error = WithCode(name, hr);
    return false;
  }

  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS parameters = {};
  parameters.rgvarg = &argument;
  parameters.rgdispidNamedArgs = &put;
  parameters.cArgs = 1;
  parameters.cNamedArgs = 1;
  hr = type_info->Invoke(flash, member, DISPATCH_PROPERTYPUT, &parameters, nullptr, nullptr,
                         nullptr);
  VariantClear(&argument);
  if (FAILED(hr)) {
    last_error = WithCode(name, hr);
    return false;
  }
  return true;
}

long FlashHost::GetLong(const wchar_t* name) {
  if (!flash || !type_info) return -1;

  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  MEMBERID member = MEMBERID_NIL;
  if (FAILED(type_info->GetIDsOfNames(names, 1, &member))) return -1;

  DISPPARAMS no_arguments = {};
  VARIANT result;
  VariantInit(&result);
  if (FAILED(type_info->Invoke(flash, member, DISPATCH_PROPERTYGET, &no_arguments, &result, nullptr,
                               nullptr))) {
    VariantClear(&result);
    return -1;
  }
  VARIANT number;
  VariantInit(&number);
  long value = -1;
  if (SUCCEEDED(VariantChangeType(&number, &result, 0, VT_I4))) value = number.lVal;
  VariantClear(&number);
  VariantClear(&result);
  return value;
}

void FlashHost::Resize(int width, int height) {
  if (!inplace_object) return;
  const RECT area = {0, 0, width, height};
  inplace_object->SetObjectRects(&area, &area);
}

void FlashHost::Destroy() {
  // Descriptions and the instance first, then the control leaves its window
  // and drops the site, and only then does the host let go of the site.
  if (type_info) {
    type_info->Release();
    type_info = nullptr;
  }
  if (flash) {
    flash->Release();
    flash = nullptr;
  }
  if (inplace_object) {
    inplace_object->InPlaceDeactivate();
    inplace_object->Release();
    inplace_object = nullptr;
  }
  if (ole_object) {
    ole_object->Close(OLECLOSE_NOSAVE);
    ole_object->SetClientSite(nullptr);
    ole_object->Release();
    ole_object = nullptr;
  }
  if (site) {
    site->Release();
    site = nullptr;
  }
}
