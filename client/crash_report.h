// What the client leaves behind when it (or the media control running in
// its process) crashes: a minidump next to the log, and one log line.
#pragma once

#include <string>

namespace crash_report {

using LogFunction = void (*)(const wchar_t* format, ...);

// The name of the dump file, in the log's folder.
constexpr wchar_t kDumpName[] = L"client-crash.dmp";

// From now on an exception nobody handles writes `folder`\client-crash.dmp
// (threads and their stacks, no full memory, through dbghelp loaded at run
// time), logs "cokme: kod=XXXXXXXX modul=NAME dokum=..." through `log`, and
// ends the process with the exception code as its exit code, before the
// platform could show a crash dialog. A missing dbghelp or a folder that
// cannot be written only leaves the dump out.
void Install(const std::wstring& folder, LogFunction log);

// The file name (after the last separator) of the module holding `address`,
// or "?" when no module does.
std::wstring ModuleNameAt(const void* address);

}  // namespace crash_report
