// The client's HTTP transport to the game server (WinHTTP), and the text
// conversions between the server's UTF-8 and the platform's UTF-16.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// UTF-8 bytes to UTF-16. Invalid sequences come back as the platform's
// replacement characters; embedded zero bytes are kept. Empty gives empty.
std::wstring Utf8ToWide(const std::string& text);

// UTF-16 to UTF-8 bytes; the mirror of Utf8ToWide. Empty gives empty.
std::string WideToUtf8(const std::wstring& text);

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ as %XX with upper-case
// digits; a space becomes %20, never '+'.
std::string UrlEncode(const std::string& bytes);

// The form as a request body: key=value pairs, both sides UrlEncoded, joined
// with '&' in the map's (ascending byte-wise) key order. Empty gives empty.
std::string EncodeForm(const std::map<std::string, std::string>& form);

// The outcome of one request. `status` is 0 when no answer was received;
// then `stage` names the failed step ("session", "connect", "open", "send",
// "receive") and `error` holds the system error code read right after it,
// or one of the client's own codes below.
struct HttpResponse {
  int32_t status = 0;
  std::string body;
  uint32_t error = 0;
  const char* stage = "";
};

// An answer body longer than the client keeps (1 MiB), or announced so: the
// request fails at "receive" with this code and nothing more is read.
constexpr uint32_t kErrorAnswerTooLarge = 12184;  // ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW
// An attempt still running at its deadline (the sum of the four time-outs):
// it fails at "receive" with this code.
constexpr uint32_t kErrorDeadline = 12002;  // ERROR_WINHTTP_TIMEOUT
// An attempt whose cancel event was set: it fails at "receive" with this code.
constexpr uint32_t kErrorCancelled = 12017;  // ERROR_WINHTTP_OPERATION_CANCELLED

// One client for the whole run, bound to the host of the site base URL.
// Requests block the calling thread, each attempt for at most its deadline
// whatever the peer does; redirects are never followed (a 3xx comes back as
// its status). The client may be used from two threads at once.
//
// Every attempt runs on a thread of its own that owns its connection and
// request handles; the caller waits for it, its deadline or its cancel
// event, and a thread it stopped waiting for ends by itself.
class HttpClient {
 public:
  // Splits the base URL into host, port and scheme and opens the WinHTTP
  // session. Never fails: a failed open shows up as stage "session" later.
  explicit HttpClient(const std::wstring& base_url);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // One exchange: verb "GET" or "POST", a UTF-8 path (made absolute), a body
  // sent as a form when not empty. Every received status is returned as is.
  // `cancel` (an event handle, may be null) ends the wait for it at once.
  HttpResponse RequestOnce(const wchar_t* verb, const std::string& path, const std::string& body,
                           void* cancel = nullptr);

  // RequestOnce, tried up to three times 1.5 s apart while sending fails with
  // a time-out, an unresolved name, a refused connection or a broken one.
  HttpResponse Request(const wchar_t* verb, const std::string& path, const std::string& body,
                       void* cancel = nullptr);

  // GET without a body.
  HttpResponse Get(const std::string& path, void* cancel = nullptr);

  // POST of the form encoded by EncodeForm.
  HttpResponse Post(const std::string& path, const std::map<std::string, std::string>& form,
                    void* cancel = nullptr);

  void* session = nullptr;  // HINTERNET; kept as void* so callers need no winhttp.h
  std::wstring host;
  int32_t port = 443;
  bool secure = true;
  std::string device_cookie;  // "rb_dev" value sent with every request when set
};
