// An environment variable of the test process set for one scope.
#pragma once

#include <windows.h>

#include <string>

// Sets (or, with null, removes) an environment variable of this process for
// the scope and puts the old value (or its absence) back afterwards. Code
// running in this process, in-process controls included, sees it at once.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    std::wstring buffer(32768, L'\0');
    SetLastError(0);
    const DWORD length = GetEnvironmentVariableW(name, &buffer[0], 32768);
    had_ = length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (length < 32768) old_.assign(buffer.data(), length);
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::wstring name_;
  std::wstring old_;
  bool had_ = false;
};
