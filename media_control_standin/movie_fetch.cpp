// Movie download (WinINet for http and https, plain file reads for local
// paths and file: URLs) and the movie header reader.
#include "movie_fetch.h"

#include <shlwapi.h>
#include <wininet.h>

#include <stdio.h>
#include <string.h>

#include <new>

#include "standin.h"

namespace standin {
namespace {

// Reads bits most significant first, as the movie format packs them.
class BitReader {
 public:
  BitReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  bool Read(int count, unsigned long* value) {
    unsigned long v = 0;
    for (int i = 0; i < count; ++i) {
      if (bit_ / 8 >= size_) return false;
      unsigned bit = (data_[bit_ / 8] >> (7 - bit_ % 8)) & 1u;
      v = (v << 1) | bit;
      ++bit_;
    }
    *value = v;
    return true;
  }
  bool ReadSigned(int count, long* value) {
    unsigned long raw = 0;
    if (!Read(count, &raw)) return false;
    long long v = static_cast<long long>(raw);
    if (count > 0 && (raw & (1ul << (count - 1)))) v -= 1ll << count;
    *value = static_cast<long>(v);
    return true;
  }
  size_t ByteOffset() const { return (bit_ + 7) / 8; }

 private:
  const unsigned char* data_;
  size_t size_;
  size_t bit_ = 0;
};

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  size_t n = wcslen(prefix);
  return text.size() >= n && CompareStringOrdinal(text.c_str(), static_cast<int>(n), prefix,
                                                  static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

std::wstring InetErrorText(DWORD code) {
  const wchar_t* what = nullptr;
  switch (code) {
    case ERROR_INTERNET_TIMEOUT:
      what = L"timed out";
      break;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      what = L"host name not resolved";
      break;
    case ERROR_INTERNET_CANNOT_CONNECT:
      what = L"cannot connect";
      break;
    case ERROR_INTERNET_CONNECTION_ABORTED:
      what = L"connection aborted";
      break;
    case ERROR_INTERNET_CONNECTION_RESET:
      what = L"connection reset";
      break;
    case ERROR_INTERNET_INVALID_URL:
      what = L"invalid URL";
      break;
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      what = L"unsupported URL scheme";
      break;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
      what = L"certificate not accepted";
      break;
    default:
      break;
  }
  wchar_t buffer[96];
  if (what) {
    swprintf(buffer, ARRAYSIZE(buffer), L"%ls (WinINet %lu)", what,
             static_cast<unsigned long>(code));
  } else {
    swprintf(buffer, ARRAYSIZE(buffer), L"WinINet error %lu", static_cast<unsigned long>(code));
  }
  return buffer;
}

std::string FormatRate(double rate) {
  char buffer[32];
  long whole = static_cast<long>(rate);
  if (static_cast<double>(whole) == rate) {
    snprintf(buffer, sizeof buffer, "%ld", whole);
  } else {
    snprintf(buffer, sizeof buffer, "%.2f", rate);
  }
  return buffer;
}

}  // namespace

bool ParseMovieHeader(const unsigned char* data, size_t size, MovieHeader* header) {
  *header = MovieHeader();
  if (size < 3) return false;
  bool known =
      (data[0] == 'F' || data[0] == 'C' || data[0] == 'Z') && data[1] == 'W' && data[2] == 'S';
  if (!known) return false;
  memcpy(header->signature, data, 3);
  header->signature[3] = 0;
  if (size >= 4) header->version = data[3];
  if (size >= 8) {
    header->declared_length =
        static_cast<unsigned long>(data[4]) | (static_cast<unsigned long>(data[5]) << 8) |
        (static_cast<unsigned long>(data[6]) << 16) | (static_cast<unsigned long>(data[7]) << 24);
  }
  // Only the uncompressed form has its frame information in plain bytes.
  if (data[0] != 'F' || size < 9) return true;
  BitReader bits(data + 8, size - 8);
  unsigned long nbits = 0;
  long xmin = 0, xmax = 0, ymin = 0, ymax = 0;
  if (!bits.Read(5, &nbits)) return true;
  int n = static_cast<int>(nbits);
  if (!bits.ReadSigned(n, &xmin) || !bits.ReadSigned(n, &xmax) || !bits.ReadSigned(n, &ymin) ||
      !bits.ReadSigned(n, &ymax)) {
    return true;
  }
  size_t at = 8 + bits.ByteOffset();  // the rectangle is padded to a whole byte
  if (size < at + 4) return true;
  // Rate: 8.8 fixed point, little-endian (fraction byte first).
  header->rate = data[at + 1] + data[at] / 256.0;
  header->frames = static_cast<long>(data[at + 2] | (data[at + 3] << 8));
  header->width_px = (xmax - xmin) / 20;
  header->height_px = (ymax - ymin) / 20;
  header->has_frame_info = true;
  return true;
}

LoadJob::LoadJob(const std::wstring& url, HWND notify) : url_(url), notify_(notify) {
  InitializeCriticalSection(&lock_);
}

LoadJob::~LoadJob() { DeleteCriticalSection(&lock_); }

void LoadJob::AddRef() { InterlockedIncrement(&refs_); }

void LoadJob::Release() {
  if (InterlockedDecrement(&refs_) == 0) delete this;
}

void LoadJob::SetNotify(HWND notify) {
  EnterCriticalSection(&lock_);
  notify_ = notify;
  LeaveCriticalSection(&lock_);
}

void LoadJob::Cancel() {
  InterlockedExchange(&cancelled_, 1);
  SetNotify(nullptr);
}

LoadStatus LoadJob::Status() {
  EnterCriticalSection(&lock_);
  LoadStatus copy = status_;
  LeaveCriticalSection(&lock_);
  return copy;
}

LoadJob* LoadJob::Start(const std::wstring& url, HWND notify) {
  LoadJob* job = new (std::nothrow) LoadJob(url, notify);
  if (!job) return nullptr;
  Record("loading " + ToUtf8(url));
  job->AddRef();  // the thread's reference
  // The thread keeps the DLL loaded while it runs and lets it go on exit.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&LoadJob::ThreadMain), &self);
  InterlockedIncrement(&g_threads);
  HANDLE thread = CreateThread(nullptr, 0, &LoadJob::ThreadMain, job, 0, nullptr);
  if (thread) {
    CloseHandle(thread);
  } else {
    DWORD code = GetLastError();
    InterlockedDecrement(&g_threads);
    if (self) FreeLibrary(self);
    wchar_t text[64];
    swprintf(text, ARRAYSIZE(text), L"no download thread (error %lu)",
             static_cast<unsigned long>(code));
    job->Finish(false, text);
    job->Release();
  }
  return job;
}

DWORD WINAPI LoadJob::ThreadMain(void* param) {
  LoadJob* job = static_cast<LoadJob*>(param);
  job->Run();
  job->Release();
  HMODULE self = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&LoadJob::ThreadMain), &self);
  InterlockedDecrement(&g_threads);
  if (self) FreeLibraryAndExitThread(self, 0);
  return 0;
}

void LoadJob::Run() {
  if (StartsWithNoCase(url_, L"http://") || StartsWithNoCase(url_, L"https://")) {
    FetchHttp();
    return;
  }
  if (StartsWithNoCase(url_, L"file:")) {
    wchar_t path[MAX_PATH * 2];
    DWORD length = ARRAYSIZE(path);
    if (FAILED(PathCreateFromUrlW(url_.c_str(), path, &length, 0))) {
      Finish(false, L"invalid file URL");
      return;
    }
    FetchFile(path);
    return;
  }
  size_t colon = url_.find(L':');
  size_t slash = url_.find_first_of(L"/\\");
  // "x:..." with more than one letter before the colon is a URL scheme that
  // is not supported; a drive letter or a plain path is a file.
  if (colon != std::wstring::npos && colon > 1 && (slash == std::wstring::npos || colon < slash)) {
    Finish(false, L"unsupported URL scheme");
    return;
  }
  FetchFile(url_);
}

bool LoadJob::FetchHttp() {
  HINTERNET session =
      InternetOpenW(L"TavrensilMediaStandin/1.0", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!session) {
    Finish(false, InetErrorText(GetLastError()));
    return false;
  }
  DWORD timeout = 15000;
  InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionW(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionW(session, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                INTERNET_FLAG_NO_UI | INTERNET_FLAG_KEEP_CONNECTION;
  HINTERNET request = InternetOpenUrlW(session, url_.c_str(), nullptr, 0, flags, 0);
  if (!request) {
    Finish(false, InetErrorText(GetLastError()));
    InternetCloseHandle(session);
    return false;
  }
  DWORD status = 0, size = sizeof status, index = 0;
  if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                     &index) &&
      (status < 200 || status > 299)) {
    wchar_t text[32];
    swprintf(text, ARRAYSIZE(text), L"HTTP %lu", static_cast<unsigned long>(status));
    Finish(false, text);
    InternetCloseHandle(request);
    InternetCloseHandle(session);
    return false;
  }
  DWORD expected = 0;
  size = sizeof expected;
  index = 0;
  if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &expected, &size,
                     &index)) {
    EnterCriticalSection(&lock_);
    status_.expected = expected;
    LeaveCriticalSection(&lock_);
  }
  static const DWORD kChunk = 64 * 1024;
  unsigned char* buffer = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, kChunk));
  bool ok = buffer != nullptr;
  std::wstring error = ok ? std::wstring() : L"out of memory";
  while (ok) {
    if (cancelled_) {
      ok = false;
      error = L"cancelled";
      break;
    }
    DWORD got = 0;
    if (!InternetReadFile(request, buffer, kChunk, &got)) {
      ok = false;
      error = InetErrorText(GetLastError());
      break;
    }
    if (got == 0) break;
    AddBytes(buffer, got);
  }
  if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
  InternetCloseHandle(request);
  InternetCloseHandle(session);
  Finish(ok, error);
  return ok;
}

bool LoadJob::FetchFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    wchar_t text[64];
    swprintf(text, ARRAYSIZE(text), L"cannot open file (error %lu)",
             static_cast<unsigned long>(GetLastError()));
    Finish(false, text);
    return false;
  }
  LARGE_INTEGER length;
  if (GetFileSizeEx(file, &length)) {
    EnterCriticalSection(&lock_);
    status_.expected = static_cast<unsigned long long>(length.QuadPart);
    LeaveCriticalSection(&lock_);
  }
  static const DWORD kChunk = 64 * 1024;
  unsigned char* buffer = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, kChunk));
  bool ok = buffer != nullptr;
  std::wstring error = ok ? std::wstring() : L"out of memory";
  while (ok) {
    if (cancelled_) {
      ok = false;
      error = L"cancelled";
      break;
    }
    DWORD got = 0;
    if (!ReadFile(file, buffer, kChunk, &got, nullptr)) {
      wchar_t text[64];
      swprintf(text, ARRAYSIZE(text), L"read failed (error %lu)",
               static_cast<unsigned long>(GetLastError()));
      error = text;
      ok = false;
      break;
    }
    if (got == 0) break;
    AddBytes(buffer, got);
  }
  if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
  CloseHandle(file);
  Finish(ok, error);
  return ok;
}

void LoadJob::AddBytes(const unsigned char* data, size_t size) {
  EnterCriticalSection(&lock_);
  if (head_size_ < sizeof head_) {
    size_t take = sizeof head_ - head_size_;
    if (take > size) take = size;
    memcpy(head_ + head_size_, data, take);
    head_size_ += take;
  }
  status_.bytes += size;
  LeaveCriticalSection(&lock_);
}

void LoadJob::Finish(bool ok, const std::wstring& error) {
  EnterCriticalSection(&lock_);
  status_.done_tick = GetTickCount64();
  if (ok) {
    status_.state = LoadState::kLoaded;
    status_.is_movie = ParseMovieHeader(head_, head_size_, &status_.header);
  } else {
    status_.state = LoadState::kFailed;
    status_.error = error.empty() ? L"failed" : error;
  }
  LoadStatus copy = status_;
  HWND notify = notify_;
  bool cancelled = cancelled_ != 0;
  if (notify) PostMessageW(notify, kLoadDoneMessage, 0, 0);
  LeaveCriticalSection(&lock_);

  if (cancelled) return;  // the control is gone or has a newer movie
  if (!ok) {
    Record("load_failed " + ToUtf8(copy.error));
    return;
  }
  char line[256];
  if (!copy.is_movie) {
    snprintf(line, sizeof line, "loaded bytes=%llu signature=none", copy.bytes);
  } else if (copy.header.has_frame_info) {
    snprintf(line, sizeof line,
             "loaded bytes=%llu signature=%s version=%d frames=%ld rate=%s size=%ldx%ld",
             copy.bytes, copy.header.signature, copy.header.version, copy.header.frames,
             FormatRate(copy.header.rate).c_str(), copy.header.width_px, copy.header.height_px);
  } else {
    snprintf(line, sizeof line, "loaded bytes=%llu signature=%s version=%d", copy.bytes,
             copy.header.signature, copy.header.version);
  }
  Record(line);
}

}  // namespace standin
