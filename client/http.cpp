#include "http.h"

#include <windows.h>
#include <winhttp.h>

namespace {

const wchar_t kUserAgent[] = L"TavrensilClient/1.0";
const DWORD kSecureProtocols = 0xA00;  // TLS 1.1 | TLS 1.2
const int kResolveTimeoutMs = 10000;
const int kConnectTimeoutMs = 10000;
const int kSendTimeoutMs = 15000;
const int kReceiveTimeoutMs = 20000;
const int kMaxAttempts = 3;
const DWORD kRetryPauseMs = 1500;
const DWORD kReadChunk = 8192;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

// Network trouble while sending that a later attempt may not meet again.
bool IsRetryableSendError(DWORD error) {
  return error == ERROR_WINHTTP_TIMEOUT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
         error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_CONNECTION_ERROR;
}

void Fail(HttpResponse& response, const char* stage) {
  response.error = GetLastError();
  response.stage = stage;
}

// The announced body length, or -1 when the answer announces none.
int64_t ContentLength(HINTERNET request) {
  wchar_t text[32] = {};
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return -1;
  }
  return _wcstoi64(text, nullptr, 10);
}

// Appends the body in 8 KiB chunks. A body cut off part-way is not an
// answer, or callers would parse half a document as if it were whole: it
// turns into a failure at "receive", with no status and no body.
void ReadBody(HINTERNET request, HttpResponse& response) {
  const int64_t announced = ContentLength(request);
  char chunk[kReadChunk];
  DWORD read = 0;
  bool complete = true;
  for (;;) {
    if (!WinHttpReadData(request, chunk, kReadChunk, &read)) {
      Fail(response, "receive");
      complete = false;
      break;
    }
    if (read == 0) break;
    response.body.append(chunk, read);
  }
  // Answers that never carry a body may still announce one's length.
  const bool bodiless = response.status == 204 || response.status == 304;
  if (complete && !bodiless && announced >= 0 &&
      static_cast<int64_t>(response.body.size()) < announced) {
    // The connection closed early without the platform calling it an error.
    response.error = ERROR_WINHTTP_CONNECTION_ERROR;
    response.stage = "receive";
    complete = false;
  }
  if (!complete) {
    response.status = 0;
    response.body.clear();
  }
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  // Explicit lengths keep embedded zero bytes; flags 0 lets invalid bytes
  // through as replacement characters instead of failing the whole text.
  const int size = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], units);
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &narrow[0], bytes, nullptr, nullptr);
  return narrow;
}

std::string UrlEncode(const std::string& bytes) {
  static const char kHexDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const unsigned char b = static_cast<unsigned char>(ch);
    const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                            (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~';
    if (unreserved) {
      out += static_cast<char>(b);
    } else {
      out += '%';
      out += kHexDigits[b >> 4];
      out += kHexDigits[b & 0x0F];
    }
  }
  return out;
}

std::string EncodeForm(const std::map<std::string, std::string>& form) {
  std::string body;
  for (const auto& entry : form) {
    if (!body.empty()) body += '&';
    body += UrlEncode(entry.first);
    body += '=';
    body += UrlEncode(entry.second);
  }
  return body;
}

HttpClient::HttpClient(const std::wstring& base_url) {
  std::wstring rest = base_url;
  if (StartsWith(rest, L"http://")) {
    secure = false;
    port = 80;
    rest.erase(0, 7);
  } else if (StartsWith(rest, L"https://")) {
    rest.erase(0, 8);
  }
  // Request paths are absolute on the host: any path of the base URL goes.
  const size_t slash = rest.find(L'/');
  if (slash != std::wstring::npos) rest.erase(slash);
  const size_t colon = rest.find(L':');
  if (colon != std::wstring::npos) {
    port = _wtoi(rest.c_str() + colon + 1);
    rest.erase(colon);
  }
  host = rest;

  session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return;
  DWORD protocols = kSecureProtocols;
  WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
  WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                     kReceiveTimeoutMs);
}

HttpClient::~HttpClient() {
  if (session) WinHttpCloseHandle(session);
}

HttpResponse HttpClient::RequestOnce(const wchar_t* verb, const std::string& path,
                                     const std::string& body) {
  HttpResponse response;
  if (!session) {
    Fail(response, "session");
    return response;
  }
  HINTERNET connection = WinHttpConnect(session, host.c_str(), static_cast<INTERNET_PORT>(port), 0);
  if (!connection) {
    Fail(response, "connect");
    return response;
  }
  const std::wstring wide_path = Utf8ToWide((!path.empty() && path[0] == '/') ? path : "/" + path);
  HINTERNET request =
      WinHttpOpenRequest(connection, verb, wide_path.c_str(), nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
  if (!request) {
    Fail(response, "open");
    WinHttpCloseHandle(connection);
    return response;
  }

  std::wstring headers;
  if (!device_cookie.empty()) headers += L"Cookie: rb_dev=" + Utf8ToWide(device_cookie) + L"\r\n";
  if (!body.empty()) headers += L"Content-Type: application/x-www-form-urlencoded\r\n";
  LPVOID data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  const DWORD length = static_cast<DWORD>(body.size());

  if (!WinHttpSendRequest(request,
                          headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(-1), data, length, length, 0)) {
    Fail(response, "send");
  } else if (!WinHttpReceiveResponse(request, nullptr)) {
    Fail(response, "receive");
  } else {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
      response.status = static_cast<int32_t>(status);
    }
    ReadBody(request, response);
  }
  WinHttpCloseHandle(request);
  WinHttpCloseHandle(connection);
  return response;
}

HttpResponse HttpClient::Request(const wchar_t* verb, const std::string& path,
                                 const std::string& body) {
  HttpResponse response = RequestOnce(verb, path, body);
  for (int attempt = 1; attempt < kMaxAttempts; ++attempt) {
    if (response.status != 0) break;
    if (std::string(response.stage) != "send" || !IsRetryableSendError(response.error)) break;
    Sleep(kRetryPauseMs);
    response = RequestOnce(verb, path, body);
  }
  return response;
}

HttpResponse HttpClient::Get(const std::string& path) {
  return Request(L"GET", path, std::string());
}

HttpResponse HttpClient::Post(const std::string& path,
                              const std::map<std::string, std::string>& form) {
  return Request(L"POST", path, EncodeForm(form));
}
