#include "platform/browser_cookie.h"

#include <wininet.h>

#include <cstdint>
#include <vector>

#include "core/site_address.h"
#include "platform/system_libraries.h"
#include "core/text.h"
#include "platform/utf.h"

namespace {

// The cookie store's functions, from wininet.dll in the system folder.
struct WinInetFunctions {
  decltype(&::InternetGetCookieExW) InternetGetCookieExW;
  decltype(&::InternetSetCookieExW) InternetSetCookieExW;
  decltype(&::InternetTimeFromSystemTimeW) InternetTimeFromSystemTimeW;
};

const WinInetFunctions& WinInet() {
  static const WinInetFunctions table = [] {
    const HMODULE library = LoadSystemLibrary(L"wininet.dll");
    WinInetFunctions t;
    BIND_SYSTEM_FUNCTION(t, library, InternetGetCookieExW);
    BIND_SYSTEM_FUNCTION(t, library, InternetSetCookieExW);
    BIND_SYSTEM_FUNCTION(t, library, InternetTimeFromSystemTimeW);
    return t;
  }();
  return table;
}

const DWORD kCookieHttpOnly = 0x2000;  // INTERNET_COOKIE_HTTPONLY
const DWORD kCookieStateReject = 5;    // COOKIE_STATE_REJECT
const int64_t kTicksPerDay = 864000000000LL;
const DWORD kDateChars = 31;

// The site's address as the store reads it, scheme written out (a --site
// may leave it off); empty when it is no site address.
std::wstring StoreUrl(const std::wstring& url) {
  SiteAddress site;
  if (!ReadSiteAddress(url, &site)) return std::wstring();
  return SiteOrigin(site) + (site.rest.empty() ? L"/" : site.rest);
}

}  // namespace

std::wstring CookieValueFromText(const std::wstring& cookies, const std::wstring& name) {
  // Only the start of an entry counts: "xrb_dev=1" is another cookie, not
  // a value for "rb_dev".
  const auto starts_entry = [](const std::wstring& text, size_t at) {
    while (at > 0 && text[at - 1] == L' ') --at;
    return at == 0 || text[at - 1] == L';';
  };
  std::wstring value;
  FindKeyedValue(cookies, name + L"=", starts_entry, L";", &value);
  return value;
}

std::string BrowserCookie(const std::wstring& site_url, const std::string& name) {
  const std::wstring url = StoreUrl(site_url);
  if (url.empty()) return std::string();
  DWORD size = 0;
  WinInet().InternetGetCookieExW(url.c_str(), nullptr, nullptr, &size, kCookieHttpOnly, nullptr);
  if (size == 0) return std::string();
  std::vector<wchar_t> buffer(size, L'\0');
  if (!WinInet().InternetGetCookieExW(url.c_str(), nullptr, buffer.data(), &size, kCookieHttpOnly,
                                      nullptr)) {
    return std::string();
  }
  // The store may report the size in characters or bytes; the text ends at
  // its terminator either way.
  buffer.back() = L'\0';
  return WideToUtf8(CookieValueFromText(std::wstring(buffer.data()), Utf8ToWide(name)));
}

bool CookieExpiry(const SYSTEMTIME& now_utc, int days, std::wstring* expiry) {
  FILETIME file_time;
  if (!SystemTimeToFileTime(&now_utc, &file_time)) return false;
  ULARGE_INTEGER ticks;
  ticks.LowPart = file_time.dwLowDateTime;
  ticks.HighPart = file_time.dwHighDateTime;
  const int64_t moved = static_cast<int64_t>(ticks.QuadPart) + days * kTicksPerDay;
  if (moved < 0) return false;
  ticks.QuadPart = static_cast<uint64_t>(moved);
  file_time.dwLowDateTime = ticks.LowPart;
  file_time.dwHighDateTime = ticks.HighPart;
  SYSTEMTIME then;
  if (!FileTimeToSystemTime(&file_time, &then)) return false;
  wchar_t date[kDateChars] = {};
  if (!WinInet().InternetTimeFromSystemTimeW(&then, INTERNET_RFC1123_FORMAT, date, sizeof(date))) {
    return false;
  }
  *expiry = date;
  return true;
}

std::wstring CookieData(const std::wstring& value, const std::wstring& expiry,
                        const std::wstring& url) {
  // An https site sets its cookie secure; renewing it must not drop that.
  SiteAddress site;
  const bool secure = ReadSiteAddress(url, &site) && site.secure;
  return value + L"; expires=" + expiry + L"; path=/; HttpOnly" + (secure ? L"; secure" : L"");
}

bool IsCookieValue(const std::string& value) {
  // A value may stand in double quotes, which are part of it.
  const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  for (const char ch : quoted ? value.substr(1, value.size() - 2) : value) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (b <= 0x20 || b >= 0x7F || b == '"' || b == ',' || b == ';' || b == '\\') return false;
  }
  return true;
}

bool PersistBrowserCookie(const std::wstring& site_url, const std::string& name,
                          const std::string& value, int days) {
  const std::wstring url = StoreUrl(site_url);
  if (url.empty() || value.empty() || !IsCookieValue(value)) return false;
  SYSTEMTIME now;
  GetSystemTime(&now);
  std::wstring expiry;
  if (!CookieExpiry(now, days, &expiry)) return false;
  const std::wstring data = CookieData(Utf8ToWide(value), expiry, url);
  const DWORD state = WinInet().InternetSetCookieExW(url.c_str(), Utf8ToWide(name).c_str(),
                                                     data.c_str(), kCookieHttpOnly, 0);
  return state != 0 && state != kCookieStateReject;
}
