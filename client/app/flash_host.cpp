#include "app/flash_host.h"

#include <wrl/client.h>

#include <cwchar>

#include "platform/modules.h"
#include "platform/scoped_win.h"

using Microsoft::WRL::ComPtr;

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

// A call that "succeeded" without its result is a failure all the same.
HRESULT Outcome(HRESULT hr, const void* result, HRESULT missing) {
  return FAILED(hr) ? hr : (result ? S_OK : missing);
}

// For a dual interface the library returns the dispatch description;
// Invoke on the instance we hold needs the vtable one behind it. Any other
// description is kept as it is.
ComPtr<ITypeInfo> VtableDescription(ComPtr<ITypeInfo> description) {
  TYPEATTR* attributes = nullptr;
  if (FAILED(description->GetTypeAttr(&attributes)) || !attributes) return description;
  const bool dual =
      attributes->typekind == TKIND_DISPATCH && (attributes->wTypeFlags & TYPEFLAG_FDUAL) != 0;
  description->ReleaseTypeAttr(attributes);
  HREFTYPE reference = 0;
  ComPtr<ITypeInfo> vtable;
  if (dual && SUCCEEDED(description->GetRefTypeOfImplType(static_cast<UINT>(-1), &reference)) &&
      SUCCEEDED(description->GetRefTypeInfo(reference, vtable.GetAddressOf())) && vtable) {
    return vtable;
  }
  return description;
}

// The member id of a property by name; false when the control has none.
bool MemberOf(ITypeInfo* info, const wchar_t* name, MEMBERID* member, HRESULT* hr) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  *member = MEMBERID_NIL;
  *hr = info->GetIDsOfNames(names, 1, member);
  return SUCCEEDED(*hr);
}

}  // namespace

// ---------------------------------------------------------------------------
// FlashSite

FlashSite::FlashSite(HWND window) : OleSiteFaces(window), refs(1) {}

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

bool FlashHost::CreateControl(const std::wstring& path) {
  module = LoadLibraryW(path.c_str());
  if (!module) {
    last_error = WithCode(L"Flash.ocx yuklenemedi", HRESULT_FROM_WIN32(GetLastError()));
    return false;
  }
  const auto get_class_object =
      ModuleFunction<DllGetClassObjectFunction>(module, "DllGetClassObject");
  if (!get_class_object) {
    last_error = L"Flash.ocx icinde DllGetClassObject yok";
    return false;
  }
  ComPtr<IClassFactory> factory;
  HRESULT hr = get_class_object(kClsidShockwaveFlash, IID_IClassFactory,
                                reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr = Outcome(hr, factory.Get(), E_POINTER))) {
    last_error = WithCode(L"Flash sinif fabrikasi alinamadi", hr);
    return false;
  }
  hr = factory->CreateInstance(nullptr, IID_IOleObject, reinterpret_cast<void**>(&ole_object));
  if (FAILED(hr = Outcome(hr, ole_object, E_POINTER))) {
    ole_object = nullptr;
    last_error = WithCode(L"Flash nesnesi olusturulamadi", hr);
    return false;
  }
  return true;
}

bool FlashHost::ActivateControl(HWND window, RECT* client) {
  site = new FlashSite(window);
  EmbedStep failed;
  const HRESULT embedded =
      EmbedControl(ole_object, static_cast<IOleClientSite*>(site), window, client, &failed);
  if (FAILED(embedded)) {
    last_error = WithCode(
        failed == EmbedStep::kSetClientSite ? L"SetClientSite" : L"Flash etkinlestirilemedi",
        embedded);
    return false;
  }
  // Without the in-place interface the control still plays; it just cannot
  // be resized.
  if (FAILED(ole_object->QueryInterface(IID_IOleInPlaceObject,
                                        reinterpret_cast<void**>(&inplace_object)))) {
    inplace_object = nullptr;
  }
  HRESULT hr = ole_object->QueryInterface(kIidShockwaveFlash, reinterpret_cast<void**>(&flash));
  if (FAILED(hr = Outcome(hr, flash, E_NOINTERFACE))) {
    flash = nullptr;
    last_error = WithCode(L"IShockwaveFlash yok", hr);
    return false;
  }
  return true;
}

bool FlashHost::ReadDescription(const std::wstring& path) {
  // The control's own type library, read from the file without registering
  // anything, describes its properties by name.
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.GetAddressOf());
  if (FAILED(hr = Outcome(hr, library.Get(), E_POINTER))) {
    last_error = WithCode(L"Flash tur kitapligi okunamadi", hr);
    return false;
  }
  ComPtr<ITypeInfo> description;
  hr = library->GetTypeInfoOfGuid(kIidShockwaveFlash, description.GetAddressOf());
  if (FAILED(hr = Outcome(hr, description.Get(), E_POINTER))) {
    last_error = WithCode(L"IShockwaveFlash tur bilgisi yok", hr);
    return false;
  }
  type_info = VtableDescription(description).Detach();
  return true;
}

bool FlashHost::Create(HWND window, const std::wstring& path) {
  // A launch that failed part-way may be retried without a Destroy in
  // between; what that attempt left behind would otherwise leak.
  Destroy();
  parent = window;
  RECT client = {};
  if (!CreateControl(path) || !ActivateControl(window, &client) || !ReadDescription(path)) {
    return false;
  }
  ResizeInPlace(inplace_object, client.right - client.left, client.bottom - client.top);
  return true;
}

bool FlashHost::SetProperty(const wchar_t* name, const std::wstring& value) {
  if (!flash || !type_info) return false;
  MEMBERID member;
  HRESULT hr;
  if (MemberOf(type_info, name, &member, &hr)) {
    ScopedVariant argument;
    V_VT(argument.get()) = VT_BSTR;
    V_BSTR(argument.get()) = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS parameters = {argument.get(), &put, 1, 1};
    hr = type_info->Invoke(flash, member, DISPATCH_PROPERTYPUT, &parameters, nullptr, nullptr,
                           nullptr);
  }
  if (FAILED(hr)) {
    last_error = WithCode(name, hr);
    return false;
  }
  return true;
}

long FlashHost::GetLong(const wchar_t* name) {
  if (!flash || !type_info) return -1;
  MEMBERID member;
  HRESULT hr;
  if (!MemberOf(type_info, name, &member, &hr)) return -1;
  DISPPARAMS no_arguments = {};
  ScopedVariant result;
  ScopedVariant number;
  if (FAILED(type_info->Invoke(flash, member, DISPATCH_PROPERTYGET, &no_arguments, result.get(),
                               nullptr, nullptr)) ||
      FAILED(VariantChangeType(number.get(), result.get(), 0, VT_I4))) {
    return -1;
  }
  return V_I4(number.get());
}

void FlashHost::Resize(int width, int height) { ResizeInPlace(inplace_object, width, height); }

void FlashHost::Destroy() {
  // Descriptions and the instance first, then the control itself.
  ReleaseAndClear(type_info);
  ReleaseAndClear(flash);
  ReleaseControl(inplace_object, ole_object, site);
}
