// Stands in for the web browser in the end-to-end tests: the tests register
// it as the handler of http and https addresses, so a URL that the client
// asks the shell to open arrives here instead of in a browser.
//
// It appends its arguments, joined by single blanks, as one UTF-8 line
// (ending with a line feed) to the file named by the environment variable
// TAVRENSIL_OPEN_RECORD, and exits with code 0. Without that variable, or
// when the file cannot be written, it records nothing and exits with code 1.
// It shows no window.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring RecordPath() {
  const wchar_t kName[] = L"TAVRENSIL_OPEN_RECORD";
  const DWORD size = GetEnvironmentVariableW(kName, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring path(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(kName, &path[0], size);
  if (length == 0 || length >= size) return std::wstring();
  path.resize(length);
  return path;
}

int Record() {
  const std::wstring path = RecordPath();
  if (path.empty()) return 1;

  std::wstring line;
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv) {
    for (int i = 1; i < argc; ++i) {
      if (i > 1) line += L' ';
      line += argv[i];
    }
    LocalFree(argv);
  }
  const std::string bytes = ToUtf8(line) + "\n";

  // Several openings may arrive close together: append under no sharing and
  // retry for a moment while another instance holds the file.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100; ++attempt) {
    file = CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(20);
  }
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return (ok && written == bytes.size()) ? 0 : 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return Record(); }
