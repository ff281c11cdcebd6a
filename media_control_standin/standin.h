// Shared internals of the stand-in media control DLL: module state, the
// test record and the failure switches.
#pragma once

#include <windows.h>

#include <string>

namespace standin {

// The DLL's own module handle (set in DllMain).
extern HINSTANCE g_module;

// Live objects, server locks and running download threads; the DLL may be
// unloaded only when all three are zero.
extern volatile LONG g_objects;
extern volatile LONG g_locks;
extern volatile LONG g_threads;

// Full path of this DLL (whatever name it was loaded under).
std::wstring ModulePath();

// UTF-16 to UTF-8.
std::string ToUtf8(const std::wstring& text);
std::string ToUtf8(const wchar_t* text, size_t length);

// Appends one line to the file named by TAVRENSIL_STANDIN_RECORD, when set.
// The file is opened for appending for every line, so several objects and
// processes can share it; CR and LF in the text are written as \r and \n.
void Record(const std::string& line);
void RecordF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when TAVRENSIL_STANDIN_FAIL lists `step` (comma-separated entries,
// compared without regard to case), e.g. "factory", "create", "activate",
// "property:WMode", "get:FrameNum".
bool ShouldFail(const wchar_t* step);

// Writes to address zero: a real access violation (c0000005) inside this
// DLL, for a host's crash handling to meet.
void CrashHere();

// Takes the loader lock (as code in a library's entry point holds it) and
// then crashes like CrashHere: a crash handler that starts a thread or
// loads a library now would wait forever.
void CrashHoldingLoaderLock();

// "0x%08lX" of a result code.
std::string HexCode(HRESULT hr);

}  // namespace standin
