// What the client leaves behind when it (or the media control running in
// its process) crashes: one log line, a minidump next to the log, and an
// exit code that names the crash.
#pragma once

#include <windows.h>

#include <string>

namespace crash_report {

using LogFunction = void (*)(const wchar_t* format, ...);

// The name of the dump file, in the log's folder.
constexpr wchar_t kDumpName[] = L"client-crash.dmp";

// The exception code logged and returned as exit code for a C++ exception
// nobody caught: customer-defined, severity error, ASCII "TAV".
constexpr DWORD kUncaughtCppException = 0xE0544156;

// How long a crash waits for its dump before the process ends without it.
constexpr DWORD kDumpWaitMs = 15000;

// Test switch: with TAVRENSIL_CRASH_TEST=throw in the environment, Install
// throws a std::bad_alloc nobody catches, once everything is in place.
constexpr wchar_t kTestVariable[] = L"TAVRENSIL_CRASH_TEST";

// From now on an exception nobody handles, and a C++ exception nobody
// catches, logs "cokme: kod=XXXXXXXX modul=NAME dokum=..." through `log`,
// writes `folder`\client-crash.dmp (threads and their stacks, no full
// memory) and ends the process with the exception code, before the
// platform could show a crash dialog.
// Everything the crash needs is prepared here, so a crash while another
// thread or the crashing one holds the loader lock cannot hang it: dbghelp
// from the system folder, and a writer thread waiting for the crash. The
// crash waits at most kDumpWaitMs for the dump. A missing dbghelp or a
// folder that cannot be written only leaves the dump out.
void Install(const std::wstring& folder, LogFunction log);

// The file name (after the last separator) of the module holding `address`
// in `name` (capacity `size`, at least 2), or "?" when no module does.
// Allocates nothing: it runs inside the crash filter.
void ModuleNameAt(const void* address, wchar_t* name, DWORD size);

}  // namespace crash_report
