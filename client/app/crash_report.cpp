#include "app/crash_report.h"

#include <dbghelp.h>

#include <cstring>
#include <cwchar>
#include <exception>
#include <new>

#include "platform/modules.h"
#include "platform/system_libraries.h"
#include "platform/thread_stack.h"

namespace crash_report {
namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);
using SymInitializeFunction = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);

// What a C++ throw on 64-bit Windows raises while it looks for a handler:
// when none takes it, the throw must go on to std::terminate (our
// OnTerminate), so the filter lets it continue as the C runtime's would.
constexpr DWORD kGccThrowMask = 0x20ffffff;
constexpr DWORD kGccThrow = 0x20474343;

constexpr DWORD kModuleNameChars = 32768;

// Everything a crash needs, prepared by Install so that the filter loads,
// creates and allocates nothing of its own: the crashing thread may hold the
// loader lock or the heap's lock, which a new thread or a library load
// would wait for forever.
struct Reporter {
  LogFunction log = nullptr;
  std::wstring dump_path;  // empty: no writer waits, no dump
  MiniDumpWriteDumpFunction write_dump = nullptr;
  HANDLE crash_event = nullptr;  // set by the crash: the writer starts
  HANDLE done_event = nullptr;   // set by the writer: the dump is finished
  // The first crash's code; the gate that lets only one crash report.
  volatile LONG code = 0;
  // Filled in by the crashing thread before crash_event is set.
  EXCEPTION_POINTERS* exception = nullptr;
  DWORD thread_id = 0;
  HANDLE file = INVALID_HANDLE_VALUE;
  // The writer's result: 0 or the error of MiniDumpWriteDump.
  DWORD error = 0;
  wchar_t module_name[kModuleNameChars] = {};
};

// File-scope on purpose: the exception filter runs with nothing but this,
// prepared before any crash, on whatever thread fails.
Reporter reporter;

// Waits for the crash, then writes its dump. Started by Install, long
// before any crash, while starting a thread still can.
DWORD WINAPI DumpWriter(LPVOID) {
  if (WaitForSingleObject(reporter.crash_event, INFINITE) != WAIT_OBJECT_0) return 0;
  MINIDUMP_EXCEPTION_INFORMATION info = {reporter.thread_id, reporter.exception, FALSE};
  // MiniDumpNormal: every thread with its stack, no full memory.
  if (!reporter.write_dump(GetCurrentProcess(), GetCurrentProcessId(), reporter.file,
                           MiniDumpNormal, &info, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    reporter.error = error ? error : ERROR_GEN_FAILURE;
  }
  SetEvent(reporter.done_event);
  return 0;
}

// Whether the writer is waiting for a crash (dbghelp found, thread running).
bool PrepareWriter() {
  const HMODULE dbghelp = LoadSystemLibrary(L"dbghelp.dll");
  if (!dbghelp) return false;
  reporter.write_dump = ModuleFunction<MiniDumpWriteDumpFunction>(dbghelp, "MiniDumpWriteDump");
  // Known to dbghelp now, without its modules: otherwise some dbghelp
  // builds (Wine's) read every module's debug information first at the
  // crash, which takes longer than a crash may wait. Without it the dump
  // is only slower.
  const auto initialize = ModuleFunction<SymInitializeFunction>(dbghelp, "SymInitializeW");
  if (initialize) initialize(GetCurrentProcess(), nullptr, FALSE);
  reporter.crash_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  reporter.done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!reporter.write_dump || !reporter.crash_event || !reporter.done_event) return false;
  // Owned by the process: it waits until a crash or the process's end.
  const HANDLE thread = CreateThread(nullptr, 0, DumpWriter, nullptr, 0, nullptr);
  if (!thread) return false;
  CloseHandle(thread);
  return true;
}

// Logs the dump's fate when the crash line could not tell it.
void LogDumpOutcome(DWORD waited) {
  if (!reporter.log) return;
  if (waited != WAIT_OBJECT_0) {
    reporter.log(L"cokme: dokum %lu ms icinde bitmedi", static_cast<unsigned long>(kDumpWaitMs));
  } else if (reporter.error != 0) {
    reporter.log(L"cokme: dokum yazilamadi (hata=%08lx)",
                 static_cast<unsigned long>(reporter.error));
  }
}

// The first crash's report: the log line first (it must survive whatever
// the dump runs into), then the dump, for at most kDumpWaitMs.
void Report(EXCEPTION_POINTERS* exception, DWORD code) {
  const EXCEPTION_RECORD* record = exception ? exception->ExceptionRecord : nullptr;
  ModuleNameAt(record ? record->ExceptionAddress : nullptr, reporter.module_name, kModuleNameChars);
  // The path is set only once the writer waits.
  if (!reporter.dump_path.empty()) {
    reporter.file = CreateFileW(reporter.dump_path.c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  const bool dumping = reporter.file != INVALID_HANDLE_VALUE;
  if (reporter.log) {
    reporter.log(L"cokme: kod=%08lx modul=%ls dokum=%ls", static_cast<unsigned long>(code),
                 reporter.module_name, dumping ? kDumpName : L"yazilamadi");
  }
  if (!dumping) return;
  reporter.exception = exception;
  reporter.thread_id = GetCurrentThreadId();
  SetEvent(reporter.crash_event);
  const DWORD waited = WaitForSingleObject(reporter.done_event, kDumpWaitMs);
  LogDumpOutcome(waited);
}

LONG WINAPI ReportAndEnd(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception ? exception->ExceptionRecord : nullptr;
  if (record && (record->ExceptionCode & kGccThrowMask) == kGccThrow &&
      !(record->ExceptionFlags & EXCEPTION_NONCONTINUABLE)) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  // Never 0: the exit code must tell that the run did not end well.
  const DWORD code = record && record->ExceptionCode ? record->ExceptionCode : 1;
  // Only the first crash reports; a second one, on the crashing thread
  // inside this filter or on any other, ends the process at once.
  if (InterlockedCompareExchange(&reporter.code, static_cast<LONG>(code), 0) == 0) {
    Report(exception, code);
  }
  // Ending here, not returning, keeps the platform's crash dialog away.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(reporter.code));
  return EXCEPTION_EXECUTE_HANDLER;
}

// A C++ exception nobody caught: the same report, with our own code and
// the context of the thread that gave up.
[[noreturn]] void OnTerminate() {
  CONTEXT context = {};
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = kUncaughtCppException;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = __builtin_return_address(0);
  EXCEPTION_POINTERS pointers = {&record, &context};
  ReportAndEnd(&pointers);
  TerminateProcess(GetCurrentProcess(), kUncaughtCppException);
  for (;;) Sleep(INFINITE);
}

// TAVRENSIL_CRASH_TEST=throw: the tests' way to an uncaught C++ exception.
void ThrowWhenTesting() {
  wchar_t value[8] = {};
  if (GetEnvironmentVariableW(kTestVariable, value, 8) == 5 && wcscmp(value, L"throw") == 0) {
    throw std::bad_alloc();
  }
}

}  // namespace

void ModuleNameAt(const void* address, wchar_t* name, DWORD size) {
  HMODULE module = nullptr;
  DWORD length = 0;
  if (address && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    static_cast<LPCWSTR>(address), &module)) {
    length = GetModuleFileNameW(module, name, size);
  }
  if (length == 0 || length >= size) {
    wcscpy(name, L"?");
    return;
  }
  const wchar_t* start = name;
  for (const wchar_t* p = name; *p; ++p) {
    if (*p == L'\\' || *p == L'/') start = p + 1;
  }
  if (start != name) memmove(name, start, (wcslen(start) + 1) * sizeof(wchar_t));
}

void Install(const std::wstring& folder, LogFunction log) {
  reporter.log = log;
  KeepStackForReport();  // for an overflow on this (the UI) thread
  if (PrepareWriter()) reporter.dump_path = folder + L"\\" + kDumpName;
  SetUnhandledExceptionFilter(ReportAndEnd);
  std::set_terminate(OnTerminate);
  ThrowWhenTesting();
}

}  // namespace crash_report
