#include "platform/system_libraries.h"

#include <string>

#include "platform/modules.h"

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Libraries that the system's own libraries load by name when first needed
// (winhttp's certificate and name lookups), which Wine looks for in the
// executable's folder first whatever the default directories say. Loaded
// from the system folder at start, they are the ones found later.
const wchar_t* const kLoadedOnDemand[] = {L"crypt32.dll", L"bcrypt.dll", L"dnsapi.dll", L"nsi.dll",
                                          L"dhcpcsvc.dll"};

// The system folder's path followed by `name`; empty when the platform
// cannot say where the system folder is.
std::wstring InSystemFolder(const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(folder, length) + L"\\" + name;
}

}  // namespace

void LimitLibrarySearch() {
  const auto set_default = ModuleFunction<SetDefaultDllDirectoriesFunction>(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (set_default) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
  // Kept for the run: a library freed could be looked for again.
  for (const wchar_t* name : kLoadedOnDemand) LoadSystemLibrary(name);
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Systems without the search flags refuse them as an invalid parameter:
  // the full path does the same there.
  if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  const std::wstring path = InSystemFolder(name);
  if (path.empty()) return nullptr;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
