#include "app/flash_embed.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/process_state.h"
#include "platform/scoped_win.h"

namespace flash_embed {
namespace {

constexpr int kResourceId = 201;
constexpr DWORD kFolderBufferSize = 260;
constexpr DWORD kCompareChunk = 1024 * 1024;

void SetError(std::wstring* error, const std::wstring& text) {
  if (error) *error = text;
}

// Whether the file at `path` exists and holds exactly the `size` bytes at
// `data`. Read and delete sharing: other clients may look at the file at
// the same time, and we do not stand in the way of one that replaces it.
bool SameContent(const std::wstring& path, const void* data, DWORD size) {
  const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER file_size = {};
  // A size mismatch decides without reading a byte.
  if (!file.valid() || !GetFileSizeEx(file.get(), &file_size) ||
      file_size.QuadPart != static_cast<LONGLONG>(size)) {
    return false;
  }
  std::vector<unsigned char> buffer(kCompareChunk);
  const unsigned char* expected = static_cast<const unsigned char*>(data);
  for (DWORD offset = 0; offset < size;) {
    const DWORD chunk = size - offset < kCompareChunk ? size - offset : kCompareChunk;
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), chunk, &read, nullptr) || read != chunk ||
        std::memcmp(buffer.data(), expected + offset, chunk) != 0) {
      return false;
    }
    offset += chunk;
  }
  return true;
}

// "<LOCALAPPDATA or temp>\Tavrensil", created if needed; empty when neither
// base folder is available.
std::wstring TargetFolder() {
  wchar_t base[kFolderBufferSize] = {};
  DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, kFolderBufferSize);
  if (length < 1 || length >= kFolderBufferSize) {
    length = GetTempPathW(kFolderBufferSize, base);
    if (length < 1 || length >= kFolderBufferSize) return std::wstring();
  }
  std::wstring folder(base, length);
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  folder += L"\\Tavrensil";
  // Usually it exists already; a real problem shows when the file is made.
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

// Deletes `path` without losing the error code that led here.
void DeleteKeepingError(const std::wstring& path) {
  const DWORD code = GetLastError();
  DeleteFileW(path.c_str());
  SetLastError(code);
}

// Writes all `size` bytes at `data` to `file`; false when a write fails
// (the thread's last error says why) or stops making progress.
bool WriteAll(HANDLE file, const void* data, DWORD size) {
  const unsigned char* next = static_cast<const unsigned char*>(data);
  DWORD remaining = size;
  DWORD written = 0;
  do {
    written = 0;
    if (!WriteFile(file, next, remaining, &written, nullptr)) return false;
    next += written;
    remaining -= written;
  } while (remaining > 0 && written > 0);
  // A write that made no progress: the disk took only part of the file.
  return remaining == 0;
}

// Writes the bytes to `path` (created or truncated, not shared) and makes
// sure they reached the disk. On failure the file is gone and the thread's
// last error says why.
bool WriteWhole(const std::wstring& path, const void* data, DWORD size) {
  bool whole = false;
  DWORD code = 0;
  {
    const ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    whole = WriteAll(file.get(), data, size);
    code = GetLastError();
    if (!FlushFileBuffers(file.get()) && whole) {
      whole = false;
      code = GetLastError();
    }
  }
  SetLastError(code);
  if (!whole) DeleteKeepingError(path);
  return whole;
}

}  // namespace

std::wstring EnsureFile(const wchar_t* name, const void* data, DWORD size, std::wstring* error) {
  if (!data || size == 0) {
    SetError(error, L"gomulu Flash kaynagi okunamadi");
    return std::wstring();
  }

  const std::wstring folder = TargetFolder();
  if (folder.empty()) {
    SetError(error, L"Flash icin yazilabilir klasor bulunamadi");
    return std::wstring();
  }
  const std::wstring target = folder + L"\\" + name;
  if (SameContent(target, data, size)) return target;

  // A temporary file of this process only: clients starting together never
  // write the same file, and the final name never holds a partial one.
  wchar_t suffix[32] = {};
  _snwprintf(suffix, 31, L".%lu.tmp", static_cast<unsigned long>(GetCurrentProcessId()));
  const std::wstring temporary = target + suffix;

  if (!WriteWhole(temporary, data, size)) {
    const DWORD code = GetLastError();
    const std::wstring text = L"Flash yazilamadi: " + temporary;
    wchar_t message[256] = {};
    _snwprintf(message, 255, L"%ls (hata %lu)", text.c_str(), static_cast<unsigned long>(code));
    SetError(error, message);
    return std::wstring();
  }

  if (MoveFileExW(temporary.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return target;
  }
  // Refused, typically because a running client has the target loaded. If
  // another client has meanwhile written the same bytes, use theirs;
  // otherwise this process plays from its own copy.
  if (SameContent(target, data, size)) {
    DeleteFileW(temporary.c_str());
    return target;
  }
  return temporary;
}

bool CopyProcessId(const std::wstring& name, const std::wstring& file_name, DWORD* process_id) {
  const std::wstring suffix = L".tmp";
  const size_t digits = name.size() + 1;
  if (file_name.size() <= digits + suffix.size() || file_name[name.size()] != L'.' ||
      CompareStringOrdinal(file_name.c_str(), static_cast<int>(name.size()), name.c_str(),
                           static_cast<int>(name.size()), TRUE) != CSTR_EQUAL ||
      CompareStringOrdinal(file_name.c_str() + file_name.size() - suffix.size(), -1, suffix.c_str(),
                           -1, TRUE) != CSTR_EQUAL) {
    return false;
  }
  const size_t count = file_name.size() - suffix.size() - digits;
  // A process id is a 32-bit number: at most ten digits, no sign, no blank.
  if (count > 10) return false;
  unsigned long long value = 0;
  for (size_t i = digits; i < digits + count; ++i) {
    if (file_name[i] < L'0' || file_name[i] > L'9') return false;
    value = value * 10 + static_cast<unsigned>(file_name[i] - L'0');
  }
  if (value > 0xFFFFFFFFull) return false;
  *process_id = static_cast<DWORD>(value);
  return true;
}

void RemoveStaleCopies(const wchar_t* name) {
  const std::wstring folder = TargetFolder();
  if (folder.empty()) return;
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileW((folder + L"\\" + name + L".*.tmp").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    DWORD process_id = 0;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !CopyProcessId(name, entry.cFileName, &process_id) || ProcessRuns(process_id)) {
      continue;
    }
    // A copy some process still has loaded refuses; it goes another time.
    DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

std::wstring ChooseControlFile(const wchar_t* name, const void* data, DWORD size,
                               const std::wstring& beside, std::wstring* error) {
  const std::wstring path = beside + L"\\" + name;
  if (!data || size == 0) {
    SetError(error, L"gomulu Flash kaynagi okunamadi");
    return path;
  }
  std::wstring reason;
  const std::wstring copy = EnsureFile(name, data, size, &reason);
  if (!copy.empty()) return copy;
  if (!SameContent(path, data, size)) {
    SetError(error, reason + L"; " + path + L" gomulu kopyayla ayni degil, yuklenmedi");
    return std::wstring();
  }
  SetError(error, reason);
  return path;
}

std::wstring ChooseOcx(const wchar_t* name, const std::wstring& beside, std::wstring* error) {
  // The resource stays where the executable is mapped: 20 MB are compared
  // and written from there without a copy.
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(kResourceId), RT_RCDATA);
  HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
  const DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  return ChooseControlFile(name, data, size, beside, error);
}

}  // namespace flash_embed
