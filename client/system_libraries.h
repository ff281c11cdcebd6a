// Where the client's libraries come from: the system's own folder, never
// the folder the executable happens to lie in (a player's Downloads folder
// may hold any file with a system library's name).
#pragma once

#include <windows.h>

// From now on, libraries loaded by name alone (and the dependencies of
// every library loaded at run time) come from the system folder and the
// folders added with AddDllDirectory only; a library loaded by its full
// path still loads from there. Does nothing where the system lacks
// SetDefaultDllDirectories (Windows 7 without its 2011 loader update).
// Call first in wWinMain: libraries delay-loaded at link time take this
// search on their first call.
void LimitLibrarySearch();

// The system library `name` (a bare file name such as L"dbghelp.dll")
// loaded from the system folder whatever the search order; null on failure,
// with the thread's last error saying why.
HMODULE LoadSystemLibrary(const wchar_t* name);
