// The running executable's path, however long, and functions of modules
// looked up by name.
#pragma once

#include <windows.h>

#include <string>

// The path of a loaded module (null: the running executable); empty when
// the platform cannot say. The manifest declares long paths, so the buffer
// grows until the whole path fits (up to the platform's 32767 characters).
inline std::wstring ModulePath(HMODULE module) {
  const size_t kMaxPathChars = 32768;
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= kMaxPathChars) return std::wstring();
    path.resize(path.size() * 2);
  }
}

inline std::wstring ExecutablePath() { return ModulePath(nullptr); }

// A function of a loaded module by name, or null. The detour through
// void(*)() is the cast the compiler accepts between function types.
template <typename Function>
Function ModuleFunction(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
