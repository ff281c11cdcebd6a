#include "crash_report.h"

#include <windows.h>
#include <dbghelp.h>

#include "modules.h"
#include "scoped_win.h"

namespace crash_report {
namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

// Set once by Install; read only by the filter.
std::wstring g_dump_path;
LogFunction g_log = nullptr;
// The first crash writes the report; a second one, even on another thread,
// only ends the process.
LONG g_reporting = 0;

// What the thread that writes the dump needs to know about the crash.
struct Crash {
  EXCEPTION_POINTERS* exception;
  DWORD thread_id;
  bool written;
};

bool WriteDump(Crash* crash) {
  const HMODULE dbghelp = LoadLibraryW(L"dbghelp.dll");
  if (!dbghelp) return false;
  const auto write_dump = ModuleFunction<MiniDumpWriteDumpFunction>(dbghelp, "MiniDumpWriteDump");
  if (!write_dump) return false;
  const ScopedHandle file(CreateFileW(g_dump_path.c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  MINIDUMP_EXCEPTION_INFORMATION info = {crash->thread_id, crash->exception, FALSE};
  // MiniDumpNormal: every thread with its stack, no full memory.
  return write_dump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                    &info, nullptr, nullptr) != FALSE;
}

// The dump is written from a thread of its own: the crashed thread may
// have no stack left (a stack overflow), and the writer wants plenty.
DWORD WINAPI DumpThread(LPVOID parameter) {
  Crash* crash = static_cast<Crash*>(parameter);
  crash->written = WriteDump(crash);
  return 0;
}

bool WriteDumpAside(EXCEPTION_POINTERS* exception) {
  Crash crash = {exception, GetCurrentThreadId(), false};
  const ScopedHandle thread(CreateThread(nullptr, 0, DumpThread, &crash, 0, nullptr));
  if (!thread.valid()) return WriteDump(&crash);
  WaitForSingleObject(thread.get(), INFINITE);
  return crash.written;
}

LONG WINAPI ReportAndEnd(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception ? exception->ExceptionRecord : nullptr;
  // Never 0: the exit code must tell that the run did not end well.
  const DWORD code = record && record->ExceptionCode ? record->ExceptionCode : 1;
  if (InterlockedExchange(&g_reporting, 1) == 0) {
    const bool written = !g_dump_path.empty() && WriteDumpAside(exception);
    const void* address = record ? record->ExceptionAddress : nullptr;
    if (g_log) {
      g_log(L"cokme: kod=%08lx modul=%ls dokum=%ls", static_cast<unsigned long>(code),
            ModuleNameAt(address).c_str(), written ? kDumpName : L"yazilamadi");
    }
  }
  // Ending here, not returning, keeps the platform's crash dialog away.
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

std::wstring ModuleNameAt(const void* address) {
  HMODULE module = nullptr;
  if (!address || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                          GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                      static_cast<LPCWSTR>(address), &module)) {
    return L"?";
  }
  const std::wstring path = ModulePath(module);
  if (path.empty()) return L"?";
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

void Install(const std::wstring& folder, LogFunction log) {
  g_dump_path = folder + L"\\" + kDumpName;
  g_log = log;
  SetUnhandledExceptionFilter(ReportAndEnd);
}

}  // namespace crash_report
