// The test record (TAVRENSIL_STANDIN_RECORD) and the failure switches
// (TAVRENSIL_STANDIN_FAIL, and the file TAVRENSIL_STANDIN_FAIL_FILE names).
// They are read at every use, so a test may change them while the DLL is
// loaded: the variables from inside the process, the file from outside.
#include "standin.h"

#include <stdarg.h>
#include <stdio.h>

namespace standin {
namespace {

// Serialises the writers of this process; other processes rely on the
// append mode of the handle.
SRWLOCK g_record_lock = SRWLOCK_INIT;

std::wstring Environment(const wchar_t* name) {
  wchar_t small[512];
  DWORD n = GetEnvironmentVariableW(name, small, ARRAYSIZE(small));
  if (n == 0) return std::wstring();
  if (n < ARRAYSIZE(small)) return std::wstring(small, n);
  std::wstring big(n, L'\0');
  DWORD m = GetEnvironmentVariableW(name, &big[0], n);
  if (m == 0 || m >= n) return std::wstring();
  big.resize(m);
  return big;
}

}  // namespace

std::string ToUtf8(const wchar_t* text, size_t length) {
  if (length == 0) return std::string();
  int n =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
  return out;
}

std::string ToUtf8(const std::wstring& text) { return ToUtf8(text.data(), text.size()); }

std::string HexCode(HRESULT hr) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(hr));
  return buffer;
}

// Milliseconds since 1970 on the system clock, comparable with the time a
// test script on the same machine reads.
unsigned long long UnixMilliseconds() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  const unsigned long long kUnixEpochTicks = 116444736000000000ULL;
  return (ticks.QuadPart - kUnixEpochTicks) / 10000ULL;
}

void Record(const std::string& line) {
  std::wstring path = Environment(L"TAVRENSIL_STANDIN_RECORD");
  if (path.empty()) return;
  std::string text;
  text.reserve(line.size() + 24);
  if (!Environment(L"TAVRENSIL_STANDIN_RECORD_TIMES").empty()) {
    char stamp[32];
    snprintf(stamp, sizeof stamp, "@%llu ", UnixMilliseconds());
    text += stamp;
  }
  for (char c : line) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  text += '\n';
  AcquireSRWLockExclusive(&g_record_lock);
  // Append-only access: every write lands at the current end of the file.
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    FlushFileBuffers(file);
    CloseHandle(file);
  }
  ReleaseSRWLockExclusive(&g_record_lock);
}

void RecordF(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof buffer) {
    Record(std::string(buffer, static_cast<size_t>(n)));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, format);
  vsnprintf(&big[0], big.size(), format, args);
  va_end(args);
  big.resize(static_cast<size_t>(n));
  Record(big);
}

// The switches in the file TAVRENSIL_STANDIN_FAIL_FILE names (its first
// 4 KiB, ASCII), or nothing when it is not set or cannot be read.
std::wstring SwitchesFromFile() {
  const std::wstring path = Environment(L"TAVRENSIL_STANDIN_FAIL_FILE");
  if (path.empty()) return std::wstring();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  char buffer[4096];
  DWORD read = 0;
  if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr)) read = 0;
  CloseHandle(file);
  return std::wstring(buffer, buffer + read);
}

bool ShouldFail(const wchar_t* step) {
  std::wstring list = Environment(L"TAVRENSIL_STANDIN_FAIL") + L"," + SwitchesFromFile();
  if (list.empty()) return false;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(L",;\r\n", start);
    if (end == std::wstring::npos) end = list.size();
    // Blanks around an entry do not count.
    size_t a = start, b = end;
    while (a < b && (list[a] == L' ' || list[a] == L'\t')) ++a;
    while (b > a && (list[b - 1] == L' ' || list[b - 1] == L'\t')) --b;
    std::wstring entry = list.substr(a, b - a);
    if (!entry.empty() && CompareStringOrdinal(entry.c_str(), -1, step, -1, TRUE) == CSTR_EQUAL)
      return true;
    start = end + 1;
  }
  return false;
}

// Read at run time, so the compiler cannot tell the address is zero and
// must emit the store.
volatile UINT_PTR g_nowhere = 0;

void CrashHere() { *reinterpret_cast<volatile int*>(g_nowhere) = 1; }

void CrashHoldingLoaderLock() {
  // ntdll's own lock function, not in the import libraries: looked up.
  using LockFunction = LONG(NTAPI*)(ULONG flags, ULONG* disposition, void** cookie);
  const auto lock = reinterpret_cast<LockFunction>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
  void* cookie = nullptr;
  // Flags 0: wait for the lock. Never released: the crash follows.
  if (lock) lock(0, nullptr, &cookie);
  CrashHere();
}

}  // namespace standin
