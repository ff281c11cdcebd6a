// Reads or stores a cookie in the browser's cookie store, so a test can show
// that a cookie stored by one process is seen by another.
//   cookie_tool set URL NAME VALUE DAYS   exit 0 when the store took it
//   cookie_tool get URL NAME              prints the value
//   cookie_tool expiry URL NAME           prints the stored expiry of the
//                                         site's persistent cookie NAME as
//                                         seconds since 1970 (UTC); exit 1
//                                         when the store holds none
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <sstream>
#include <string>
#include <vector>

#include "platform/browser_cookie.h"
#include "platform/http.h"

namespace {

const size_t kMaxCookieFile = 1 << 20;
const ULONGLONG kUnixEpochTicks = 116444736000000000ULL;
const ULONGLONG kTicksPerSecond = 10000000ULL;

// The store keeps a site's persistent cookies in one file of its cache,
// entered under "Cookie:USER@HOST/" (whole-site cookies); the file holds per
// cookie the lines name, value, host/path, flags, expiry (low and high half
// of a FILETIME), creation (the same) and "*". The store offers no other
// way to read an expiry back.
std::string CookieFile(const std::wstring& url) {
  wchar_t host[256] = {};
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  wchar_t user[256] = {};
  DWORD user_size = 256;
  if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || !GetUserNameW(user, &user_size)) return "";
  CharLowerW(host);
  const std::wstring entry = std::wstring(L"Cookie:") + user + L"@" + host + L"/";
  DWORD size = 0;
  GetUrlCacheEntryInfoW(entry.c_str(), nullptr, &size);
  if (size == 0) return "";
  std::vector<BYTE> buffer(size);
  auto* info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
  if (!GetUrlCacheEntryInfoW(entry.c_str(), info, &size) || !info->lpszLocalFileName) return "";
  HANDLE file = CreateFileW(info->lpszLocalFileName, GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string text(kMaxCookieFile, '\0');
  DWORD read = 0;
  if (!ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) read = 0;
  CloseHandle(file);
  text.resize(read);
  return text;
}

// The expiry (FILETIME ticks) of cookie `name` in the store's file text; 0 when absent.
ULONGLONG ExpiryInFile(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  std::string fields[9];
  for (;;) {
    for (std::string& field : fields) {
      if (!std::getline(in, field)) return 0;
      if (!field.empty() && field.back() == '\r') field.pop_back();
    }
    if (fields[8] != "*") return 0;  // not a file of the form above
    if (fields[0] != name) continue;
    const ULONGLONG low = std::strtoul(fields[4].c_str(), nullptr, 10);
    const ULONGLONG high = std::strtoul(fields[5].c_str(), nullptr, 10);
    return high << 32 | low;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && std::wcscmp(argv[1], L"set") == 0) {
    return PersistBrowserCookie(argv[2], WideToUtf8(argv[3]), WideToUtf8(argv[4]), _wtoi(argv[5]))
               ? 0
               : 1;
  }
  if (argc == 4 && std::wcscmp(argv[1], L"get") == 0) {
    std::printf("%s\n", BrowserCookie(argv[2], WideToUtf8(argv[3])).c_str());
    return 0;
  }
  if (argc == 4 && std::wcscmp(argv[1], L"expiry") == 0) {
    const ULONGLONG expiry = ExpiryInFile(CookieFile(argv[2]), WideToUtf8(argv[3]));
    if (expiry <= kUnixEpochTicks) return 1;
    std::printf("%llu\n", (expiry - kUnixEpochTicks) / kTicksPerSecond);
    return 0;
  }
  std::fprintf(stderr, "usage: cookie_tool set URL NAME VALUE DAYS | get URL NAME | expiry URL NAME\n");
  return 2;
}
