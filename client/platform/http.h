// The client's HTTP transport to the game server (WinHTTP).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/route.h"
#include "core/site_address.h"
#include "core/text.h"
#include "platform/utf.h"

// The form as a request body: key=value pairs, both sides UrlEncoded, joined
// with '&' in the map's (ascending byte-wise) key order. Empty gives empty.
std::string EncodeForm(const std::map<std::string, std::string>& form);

// The step at which a request got no answer: opening the session, waiting
// for a free attempt, connecting, opening the request, sending, receiving.
enum class Stage { kNone, kSession, kBusy, kConnect, kOpen, kSend, kReceive };

// The stage as the log and the connection box name it: "session", "busy",
// "connect", "open", "send", "receive"; "" for kNone.
const char* StageName(Stage stage);

// The outcome of one request. `status` is 0 when no answer was received;
// then `stage` names the failed step and `error` holds the system error
// code read right after it, or one of the client's own codes below.
struct HttpResponse {
  int32_t status = 0;
  std::string body;
  uint32_t error = 0;
  Stage stage = Stage::kNone;
  std::wstring location;  // a 3xx answer's Location header, as sent
  // The route the attempt took, for the log: "vekil=host:port" or
  // "dogrudan"; empty when no attempt was made.
  std::wstring route;
  std::wstring proxy;  // the proxy it went through (host:port), empty for direct
};

// An answer body longer than the client keeps (1 MiB), or announced so: the
// request fails at "receive" with this code and nothing more is read.
constexpr uint32_t kErrorAnswerTooLarge = 12184;  // ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW
// An attempt still running at its deadline (the sum of the four time-outs):
// it fails at "receive" with this code.
constexpr uint32_t kErrorDeadline = 12002;  // ERROR_WINHTTP_TIMEOUT
// An attempt whose cancel event was set: it fails at "receive" with this code,
// and a request whose cancel is set before it is sent never reaches the peer.
constexpr uint32_t kErrorCancelled = 12017;  // ERROR_WINHTTP_OPERATION_CANCELLED
// Four attempts are alive already (abandoned ones included, until their
// connection is closed): the request fails at its own stage "busy" with
// this code, without a connection and without forgetting the route. A
// request with a budget (the goodbye) first waits up to 3 s for one to end.
constexpr uint32_t kErrorTooManyAttempts = 170;  // ERROR_BUSY

// Where a download's body goes instead of memory: a file the caller opened
// for writing, at most `limit` bytes. Shared with the attempt's thread,
// which may outlive the caller's wait; once the caller called Close, the
// thread writes nothing more, so the caller may close and delete the file.
class BodySink {
 public:
  BodySink(HANDLE file, uint64_t limit, uint32_t deadline_ms)
      : deadline_ms(deadline_ms), file_(file), limit_(limit) {}
  BodySink(const BodySink&) = delete;
  BodySink& operator=(const BodySink&) = delete;

  // Appends `size` bytes; false with `*error` set when closed, past the
  // limit (kErrorAnswerTooLarge) or when the file refused them.
  bool Write(const char* data, uint32_t size, uint32_t* error);
  // No write after this returns.
  void Close();
  // The bytes written so far (from any thread).
  uint64_t Received() const;
  uint64_t limit() const { return limit_; }

  // How long the attempt may take at most, instead of the usual deadline.
  const uint32_t deadline_ms;

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  HANDLE file_;
  const uint64_t limit_;
  bool closed_ = false;
  volatile LONG64 received_ = 0;
};

// One client for the whole run, bound to the origin of the site base URL.
// Requests block the calling thread, each attempt for at most its deadline
// whatever the peer does. A redirect is followed only within the origin or
// to its https upgrade (NextRedirect), at most kMaxRedirects times; any
// other comes back as its status. The client may be used from two threads
// at once.
//
// Every attempt runs on a thread of its own that owns its connection; the
// caller waits for it, its deadline or its cancel event. When the caller
// gives up, it closes the attempt's request handle, which aborts the call the
// thread is blocked in, so the connection closes and the thread ends within
// moments; a given-up attempt sends nothing more. The WinHTTP session lives
// until the last attempt that uses it has ended, even past the client.
//
// Requests take the route the embedded browser takes (RouteFinder): the
// user's Internet settings, read once at construction, and the automatic
// configuration's answer, looked up once per origin and kept. A proxy's own
// refusal (407 and the like) comes back as its status.
//
// TLS 1.1 to 1.3 is offered; after a handshake that fails with 1.3 offered,
// the request is tried once more without it, and 1.3 is not offered again.
class HttpClient {
 public:
  // Reads the base URL (ReadSiteAddress) into host, port and scheme, reads
  // the Internet settings and opens the WinHTTP session. Never fails: a
  // failed open shows up as stage "session" later, a base URL it cannot
  // read as stage "connect" with ERROR_WINHTTP_INVALID_URL.
  explicit HttpClient(const std::wstring& base_url);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // One exchange: verb "GET" or "POST", a UTF-8 path (made absolute), a body
  // sent as a form when not empty. Every received status is returned as is.
  // `cancel` (an event handle, may be null) ends the wait for it at once; a
  // request whose cancel is set before it starts, or while its route is
  // looked up, is not sent. `at` (null for the client's own origin) names
  // the origin to ask. The attempt ends within `wait_ms` (at most its own
  // deadline of 55 s).
  HttpResponse RequestOnce(const wchar_t* verb, const std::string& path, const std::string& body,
                           HANDLE cancel = nullptr, const SiteAddress* at = nullptr,
                           uint32_t wait_ms = UINT32_MAX,
                           const std::shared_ptr<BodySink>& sink = nullptr);

  // RequestOnce, tried up to three times 1.5 s apart while sending fails with
  // a time-out, an unresolved name, a refused connection or a broken one,
  // following the redirects the client follows. With a `budget_ms` other
  // than 0 the whole exchange, retries, pauses and redirects included, ends
  // within it.
  HttpResponse Request(const wchar_t* verb, const std::string& path, const std::string& body,
                       HANDLE cancel = nullptr, uint32_t budget_ms = 0);

  // GET without a body.
  HttpResponse Get(const std::string& path, HANDLE cancel = nullptr);

  // POST of the form encoded by EncodeForm.
  HttpResponse Post(const std::string& path, const std::map<std::string, std::string>& form,
                    HANDLE cancel = nullptr, uint32_t budget_ms = 0);

  // GET of `at` (its rest the path) with the body written to `sink`
  // instead of kept: an announced or written length past the sink's limit
  // fails at "receive" with kErrorAnswerTooLarge at once. Redirects are
  // followed only within `at`'s origin. Not retried once a byte came.
  HttpResponse Download(const SiteAddress& at, const std::shared_ptr<BodySink>& sink,
                        HANDLE cancel);

  // Starts looking up the route to the site's origin; returns at once with
  // an event that is set once it is known (owned by the client), or null
  // when there is nothing to wait for, and in `wait_ms` how long it is still
  // worth waiting for (RouteFinder::Prepare). See WaitForRoute (ui_wait.h).
  HANDLE PrepareRoute(DWORD* wait_ms);

  // The route requests to the site take now, for the log, without waiting:
  // "vekil=host:port" (never credentials) or "dogrudan".
  std::wstring RouteForLog();

  // Where requests to the site go: the base URL's origin, or for the rest
  // of the run its https upgrade once a redirect from it led there (an
  // operator who moved the API to https). `rest` is empty.
  SiteAddress Origin() const;

  // Whether requests to the site go over TLS (the play form's "scheme").
  bool Secure() const { return Origin().secure; }

  // HINTERNET; kept as void* so callers need no winhttp.h. Shared with the
  // attempts (session_owner_) and closed after the last of them.
  void* session = nullptr;
  std::wstring host;
  int32_t port = 443;
  bool secure = true;
  std::string device_cookie;  // "rb_dev" value sent with every request when set

  // The routes, from the Internet settings read at construction.
  RouteFinder route;
  // The TLS versions offered (WINHTTP_FLAG_SECURE_PROTOCOL_* bits): 1.1 to
  // 1.3, or 1.1 and 1.2 where the platform refuses 1.3; 0 when it refused both.
  uint32_t secure_protocols = 0;

 private:
  // Request for one origin: RequestOnce with its retries and the TLS
  // fallback; a failure to connect or send moves on to the origin's next
  // route (RouteFinder::Failed), which the retry takes.
  HttpResponse Attempts(const wchar_t* verb, const std::string& path, const std::string& body,
                        HANDLE cancel, const SiteAddress& at, uint32_t budget_ms, uint32_t started,
                        const std::shared_ptr<BodySink>& sink = nullptr);

  // Set once a handshake failed with TLS 1.3 offered: attempts offer 1.1
  // and 1.2 only, for the rest of the run.
  volatile long before_tls13_ = 0;
  // Set once a request to the site was redirected to its https upgrade.
  mutable volatile long upgraded_ = 0;
  // The session handle's shared owner, which the attempts hold too.
  std::shared_ptr<void> session_owner_;
};
