// DLL entry points of the stand-in media control: DllMain, the class
// factory, DllGetClassObject and DllCanUnloadNow.
#include <windows.h>
#include <ole2.h>

// The interface and class identifiers of the generated header are defined
// in this translation unit.
#include <initguid.h>

#include <new>

#include "control.h"
#include "standin.h"
#include "standin_idl.h"

namespace standin {

HINSTANCE g_module = nullptr;
volatile LONG g_objects = 0;
volatile LONG g_locks = 0;
volatile LONG g_threads = 0;

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(g_module, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
}

namespace {

// One factory for the life of the DLL; its references only lock the server.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&g_locks));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    return static_cast<ULONG>(InterlockedDecrement(&g_locks));
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (ShouldFail(L"create")) {
      Record("create fail " + HexCode(E_OUTOFMEMORY));
      return E_OUTOFMEMORY;
    }
    MediaControl* control = new (std::nothrow) MediaControl();  // one reference, ours
    if (!control) return E_OUTOFMEMORY;
    HRESULT hr = control->QueryInterface(riid, object);
    control->Release();  // the caller's reference remains, or none on failure
    return hr;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&g_locks);
    } else {
      InterlockedDecrement(&g_locks);
    }
    return S_OK;
  }
};

ClassFactory g_factory;

}  // namespace
}  // namespace standin

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    standin::g_module = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded by FreeLibrary (not at process exit): give back what the
    // view took from the system.
    standin::ReleaseViewResources(true);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  using namespace standin;
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_ShockwaveFlash) || ShouldFail(L"factory")) {
    Record("class_object fail " + HexCode(CLASS_E_CLASSNOTAVAILABLE));
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  HRESULT hr = g_factory.QueryInterface(riid, object);
  Record(SUCCEEDED(hr) ? std::string("class_object") : "class_object fail " + HexCode(hr));
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  using namespace standin;
  return (g_objects == 0 && g_locks == 0 && g_threads == 0) ? S_OK : S_FALSE;
}
