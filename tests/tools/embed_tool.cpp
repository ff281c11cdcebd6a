// Writes a control file the way the client does, for tests that need several
// processes doing it at the same moment.
//
//   embed_tool NAME CONTENT_FILE RESULT_FILE [START_EVENT]
//
// Reads CONTENT_FILE, waits for the named manual-reset event START_EVENT (so
// all tools started by a test begin together), calls flash_embed::EnsureFile
// with NAME and those bytes, and writes the returned path, or "!" and the
// error text, to RESULT_FILE as UTF-16 without a terminator. Exit code 0 when
// a path came back, 1 when the call failed, 2 on bad usage or I/O.
#include "app/flash_embed.h"

#include <string>
#include <vector>

namespace {

bool ReadWhole(const wchar_t* path, std::vector<unsigned char>* bytes) {
  HANDLE file =
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < 0x40000000;
  if (ok) {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ok = ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) &&
         read == bytes->size();
  }
  CloseHandle(file);
  return ok;
}

bool WriteWhole(const wchar_t* path, const std::wstring& text) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  DWORD written = 0;
  const bool ok = WriteFile(file, text.data(), size, &written, nullptr) && written == size;
  CloseHandle(file);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || argc > 5) return 2;
  std::vector<unsigned char> content;
  if (!ReadWhole(argv[2], &content)) return 2;

  if (argc == 5) {
    HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
    if (!start) return 2;
    const DWORD waited = WaitForSingleObject(start, 60000);
    CloseHandle(start);
    if (waited != WAIT_OBJECT_0) return 2;
  }

  std::wstring error;
  const std::wstring path =
      flash_embed::EnsureFile(argv[1], content.data(), static_cast<DWORD>(content.size()), &error);
  if (!WriteWhole(argv[3], path.empty() ? L"!" + error : path)) return 2;
  return path.empty() ? 1 : 0;
}
