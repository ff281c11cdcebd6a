// Where the client's libraries come from: the system's own folder, never
// the folder the executable happens to lie in (a player's Downloads folder
// may hold any file with a system library's name).
#pragma once

#include <windows.h>

#include "platform/modules.h"

// From now on, libraries loaded by name alone (and the dependencies of
// every library loaded at run time) come from the system folder and the
// folders added with AddDllDirectory only; a library loaded by its full
// path still loads from there. Does nothing where the system lacks
// SetDefaultDllDirectories (Windows 7 without its 2011 loader update).
// Also loads from the system folder, for the run, the libraries the
// system's own libraries load by name on demand (crypt32, dnsapi, ...),
// which some loaders (Wine's) look for beside the executable regardless.
// Call first in wWinMain.
void LimitLibrarySearch();

// The system library `name` (a bare file name such as L"dbghelp.dll")
// loaded from the system folder whatever the search order; null on failure,
// with the thread's last error saying why.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Functions of system libraries that are not known libraries (winhttp,
// wininet, winmm, avrt) are taken at run time, never imported: linked
// normally such a library would load from the executable's folder first,
// and the toolchain's delay-import libraries are not sound for 32-bit
// builds. Each library has a small table of typed pointers, bound once from
// the library that LoadSystemLibrary gives.

// The stand-in for a function that could not be bound. It fails as the
// platform's functions fail: it returns zero (FALSE, null) with the
// thread's last error set to ERROR_PROC_NOT_FOUND.
template <typename Function>
struct MissingSystemFunction;
template <typename Result, typename... Args>
struct MissingSystemFunction<Result(WINAPI*)(Args...)> {
  static Result WINAPI Call(Args...) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return Result();
  }
};

// The export `name` of `library` (may be null), or its stand-in: never null.
template <typename Function>
Function SystemFunction(HMODULE library, const char* name) {
  const Function found = library ? ModuleFunction<Function>(library, name) : nullptr;
  return found ? found : &MissingSystemFunction<Function>::Call;
}

// Binds the table member named after the platform function `name`.
#define BIND_SYSTEM_FUNCTION(table, library, name) \
  (table).name = SystemFunction<decltype(&::name)>(library, #name)
