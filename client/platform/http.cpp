#include "platform/http.h"

#include <windows.h>
#include <winhttp.h>

#include <cwchar>
#include <memory>
#include <vector>

#include "platform/scoped_win.h"
#include "platform/thread_stack.h"
#include "platform/winhttp_functions.h"

namespace {

const wchar_t kUserAgent[] = L"TavrensilClient/1.0";
// TLS 1.1, 1.2 and 1.3; the platforms before 1.3 refuse the whole set, and
// then get the set without it.
const DWORD kSecureProtocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                               WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 |
                               WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
const DWORD kSecureProtocolsBefore13 =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
const int kResolveTimeoutMs = 10000;
const int kConnectTimeoutMs = 10000;
const int kSendTimeoutMs = 15000;
const int kReceiveTimeoutMs = 20000;
// However the peer behaves, one attempt ends this long after it started.
const DWORD kAttemptDeadlineMs =
    kResolveTimeoutMs + kConnectTimeoutMs + kSendTimeoutMs + kReceiveTimeoutMs;
// The most of an answer body kept; no answer of the game server comes near.
const size_t kMaxBodyBytes = 1024 * 1024;
const int kMaxAttempts = 3;
const DWORD kRetryPauseMs = 1500;
// How long a request with a budget of its own (the goodbye) waits for one of
// the live attempts to end when all are taken, and how often it looks.
const DWORD kBusyWaitMs = 3000;
const DWORD kBusyPollMs = 100;
const DWORD kReadChunk = 8192;
// Attempt threads hold a few strings and a read buffer on the heap, and
// parse nothing; half their stack is kept for a crash report.
const SIZE_T kAttemptStackBytes = 2 * kOverflowReserve;
// Attempts alive at once in the whole process, abandoned ones included: a
// peer that holds every answer cannot make the client pile up threads.
const LONG kMaxLiveAttempts = 4;
// The longest Location header read; a site's own redirects are short.
const DWORD kMaxLocationChars = 2048;

// Network trouble while sending that a later attempt may not meet again.
bool IsRetryableSendError(DWORD error) {
  return error == ERROR_WINHTTP_TIMEOUT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
         error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_CONNECTION_ERROR;
}

// A handshake refused while TLS 1.3 was offered, as the platforms where
// 1.3 was still experimental refuse it.
bool IsTls13Refusal(const HttpResponse& response, uint32_t offered) {
  return response.status == 0 && response.stage == Stage::kSend &&
         (offered & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) != 0 &&
         (response.error == ERROR_WINHTTP_SECURE_FAILURE ||
          response.error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR);
}

// Waits `ms` between attempts; false when `cancel` is set meanwhile.
bool Pause(HANDLE cancel, DWORD ms) {
  if (!cancel) {
    Sleep(ms);
    return true;
  }
  return WaitForSingleObject(cancel, ms) != WAIT_OBJECT_0;
}

void Fail(HttpResponse& response, Stage stage) {
  response.error = GetLastError();
  response.stage = stage;
}

// How many attempt threads are alive in the process. File-scope on
// purpose: the limit is the process's (abandoned attempts of any client,
// and of a client already gone, still hold connections), not one client's.
volatile LONG g_live_attempts = 0;

// One attempt, shared by the caller and the thread that runs it; freed by
// whichever of the two lets go last.
struct Exchange {
  // The client's WinHTTP session: closed when the last attempt that may use
  // it lets go, never under a running one.
  std::shared_ptr<void> session;
  // Under `lock`: the caller gave up on the attempt, and the request handle
  // while the thread uses it. Whoever takes the handle closes it: the thread
  // when it is done, or the caller when it gives up, which is how WinHTTP
  // aborts a call blocked on it.
  SRWLOCK lock = SRWLOCK_INIT;
  bool abandoned = false;
  bool done = false;  // the thread's response is final
  HINTERNET request = nullptr;
  std::wstring proxy;  // host:port, or empty for direct
  std::wstring host;
  INTERNET_PORT port = 0;
  bool secure = true;
  bool before_tls13 = false;  // offer TLS 1.1 and 1.2 only
  std::wstring verb;
  std::wstring path;
  std::wstring headers;
  std::string body;
  DWORD started = 0;
  DWORD deadline_ms = kAttemptDeadlineMs;
  std::shared_ptr<BodySink> sink;  // a download's file, instead of `response.body`
  HttpResponse response;  // the caller reads it only once the thread ended
};

// The thread's side: its response is final, and the request handle (null
// when the caller took it first) is the thread's to close.
HINTERNET Finish(Exchange& exchange) {
  const ScopedSrwLock locked(&exchange.lock);
  exchange.done = true;
  HINTERNET request = exchange.request;
  exchange.request = nullptr;
  return request;
}

// The caller's side, when its wait ended first: false when the thread's
// response was final by then (it is used, however late). Otherwise marks
// the exchange abandoned and closes its request handle, if still there.
bool Abandon(Exchange& exchange) {
  bool done = false;
  HINTERNET request = nullptr;
  {
    const ScopedSrwLock locked(&exchange.lock);
    done = exchange.done;
    if (!done) exchange.abandoned = true;
    request = done ? nullptr : exchange.request;
    exchange.request = nullptr;
  }
  if (request) {
    // Windows aborts the call blocked on the handle when it is closed.
    // Wine does not, but applies new time-outs to the open connection at
    // once, so its next read (the next byte of a trickle) ends the call.
    WinHttp().WinHttpSetTimeouts(request, 1, 1, 1, 1);
    WinHttp().WinHttpCloseHandle(request);
  }
  return !done;
}

// Whether the caller gave up on the attempt: then the thread touches its
// request handle no more (the caller closed it) and sends nothing.
bool Abandoned(Exchange& exchange) {
  const ScopedSrwLock locked(&exchange.lock, ScopedSrwLock::kShared);
  return exchange.abandoned;
}

// Hands a freshly opened request handle to the exchange; false (and the
// handle closed) when the caller gave up meanwhile.
bool PublishRequest(Exchange& exchange, HINTERNET request) {
  bool abandoned = false;
  {
    const ScopedSrwLock locked(&exchange.lock);
    abandoned = exchange.abandoned;
    if (!abandoned) exchange.request = request;
  }
  if (abandoned) WinHttp().WinHttpCloseHandle(request);
  return !abandoned;
}

bool PastDeadline(const Exchange& exchange) {
  return GetTickCount() - exchange.started >= exchange.deadline_ms;
}

// The announced body length, or -1 when the answer announces none.
int64_t ContentLength(HINTERNET request) {
  wchar_t text[32] = {};
  DWORD size = sizeof(text);
  if (!WinHttp().WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH,
                                     WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                     WINHTTP_NO_HEADER_INDEX)) {
    return -1;
  }
  return _wcstoi64(text, nullptr, 10);
}

void FailWith(HttpResponse& response, uint32_t error) {
  response.error = error;
  response.stage = Stage::kReceive;
}

// Appends the body in 8 KiB chunks, never more than kMaxBodyBytes and never
// past the attempt's deadline. A body cut off part-way is not an answer, or
// callers would parse half a document as if it were whole: like every other
// failure here it turns into a failure at "receive", with no status and no
// body.
void ReadBody(HINTERNET request, Exchange& exchange) {
  HttpResponse& response = exchange.response;
  const int64_t announced = ContentLength(request);
  // Answers that never carry a body may still announce one's length.
  const bool bodiless = response.status == 204 || response.status == 304;
  // A download's body goes to its file, and only a whole one is wanted.
  BodySink* sink = response.status == 200 ? exchange.sink.get() : nullptr;
  const uint64_t most = sink ? sink->limit() : kMaxBodyBytes;
  if (!bodiless && announced > static_cast<int64_t>(most)) {
    FailWith(response, kErrorAnswerTooLarge);
  }
  uint64_t kept = 0;
  std::vector<char> buffer(kReadChunk);
  char* chunk = buffer.data();
  DWORD read = 0;
  while (response.error == 0) {
    if (PastDeadline(exchange) || Abandoned(exchange)) {
      FailWith(response, kErrorDeadline);
    } else if (!WinHttp().WinHttpReadData(request, chunk, kReadChunk, &read)) {
      Fail(response, Stage::kReceive);
    } else if (read == 0) {
      break;
    } else if (sink) {
      uint32_t error = 0;
      if (!sink->Write(chunk, read, &error)) FailWith(response, error);
      kept += read;
    } else if (response.body.size() + read > kMaxBodyBytes) {
      FailWith(response, kErrorAnswerTooLarge);
    } else {
      response.body.append(chunk, read);
      kept += read;
    }
  }
  if (response.error == 0 && !bodiless && announced >= 0 &&
      static_cast<int64_t>(kept) < announced) {
    // The connection closed early without the platform calling it an error.
    FailWith(response, ERROR_WINHTTP_CONNECTION_ERROR);
  }
  if (response.error != 0) {
    response.status = 0;
    response.body.clear();
  }
}

// A request handle on the exchange's route that follows no redirect and
// waits for the answer's headers no longer than for any other read.
HINTERNET OpenRequest(HINTERNET connection, const Exchange& exchange) {
  HINTERNET request = WinHttp().WinHttpOpenRequest(
      connection, exchange.verb.c_str(), exchange.path.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, exchange.secure ? WINHTTP_FLAG_SECURE : 0);
  if (!request) return nullptr;
  DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
  DWORD headers_timeout = kReceiveTimeoutMs;
  WINHTTP_PROXY_INFO route = {};
  route.dwAccessType =
      exchange.proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  route.lpszProxy = exchange.proxy.empty() ? nullptr : const_cast<wchar_t*>(exchange.proxy.c_str());
  if (!WinHttp().WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                                  sizeof(no_redirects)) ||
      !WinHttp().WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                                  &headers_timeout, sizeof(headers_timeout)) ||
      !WinHttp().WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &route, sizeof(route))) {
    const DWORD error = GetLastError();
    WinHttp().WinHttpCloseHandle(request);
    SetLastError(error);
    return nullptr;
  }
  return request;
}

// The answer's Location header; empty when it has none or a longer one.
std::wstring Location(HINTERNET request) {
  std::wstring text(kMaxLocationChars, L'\0');
  DWORD size = kMaxLocationChars * sizeof(wchar_t);
  if (!WinHttp().WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                                     &text[0], &size, WINHTTP_NO_HEADER_INDEX)) {
    return std::wstring();
  }
  text.resize(size / sizeof(wchar_t));
  return text;
}

// Sends the request and reads the answer into exchange.response.
void SendAndReceive(HINTERNET request, Exchange& exchange) {
  HttpResponse& response = exchange.response;
  LPVOID data =
      exchange.body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(exchange.body.data());
  const DWORD length = static_cast<DWORD>(exchange.body.size());
  const std::wstring& headers = exchange.headers;
  if (Abandoned(exchange) ||
      !WinHttp().WinHttpSendRequest(
          request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
          headers.empty() ? 0 : static_cast<DWORD>(-1), data, length, length, 0)) {
    Fail(response, Stage::kSend);
    return;
  }
  if (Abandoned(exchange) || !WinHttp().WinHttpReceiveResponse(request, nullptr)) {
    Fail(response, Stage::kReceive);
    return;
  }
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (Abandoned(exchange)) return;
  if (WinHttp().WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                    WINHTTP_NO_HEADER_INDEX)) {
    response.status = static_cast<int32_t>(status);
  }
  if (response.status >= 300 && response.status < 400) response.location = Location(request);
  ReadBody(request, exchange);
}

// Offers TLS 1.1 to 1.3 (unless `before_tls13`), or 1.1 and 1.2 where the
// platform refuses 1.3; gives the set taken, 0 when it took neither.
DWORD OfferSecureProtocols(HINTERNET session, bool before_tls13) {
  for (DWORD protocols :
       {before_tls13 ? kSecureProtocolsBefore13 : kSecureProtocols, kSecureProtocolsBefore13}) {
    if (WinHttp().WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                   sizeof(protocols))) {
      return protocols;
    }
  }
  return 0;
}

// A session going direct (empty proxy) or through `proxy`, with the
// client's protocols, redirect policy and time-outs; null when it failed.
HINTERNET OpenSession(const std::wstring& proxy, bool before_tls13, DWORD* protocols) {
  HINTERNET session = proxy.empty()
                          ? WinHttp().WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
                          : WinHttp().WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                                  proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return nullptr;
  *protocols = OfferSecureProtocols(session, before_tls13);
  // Each request also turns redirects off; this covers the platforms that
  // take the policy only from the session.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttp().WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &redirects,
                             sizeof(redirects));
  WinHttp().WinHttpSetTimeouts(session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                               kReceiveTimeoutMs);
  return session;
}

// The attempt's thread: connects, exchanges, closes its handles.
DWORD WINAPI RunExchange(LPVOID parameter) {
  KeepStackForReport();
  // The thread's own reference, which it lets go of last.
  const std::unique_ptr<std::shared_ptr<Exchange>> held(
      static_cast<std::shared_ptr<Exchange>*>(parameter));
  Exchange* exchange = held->get();
  // The request's proxy option is the route on Windows; Wine ignores it and
  // takes the proxy only from the session, so a proxied attempt opens one.
  // So does one that must not offer TLS 1.3: the protocols are the session's.
  DWORD protocols = 0;
  const bool shared = exchange->proxy.empty() && !exchange->before_tls13;
  HINTERNET own =
      shared ? nullptr : OpenSession(exchange->proxy, exchange->before_tls13, &protocols);
  HINTERNET session = shared ? exchange->session.get() : own;
  HINTERNET connection =
      session ? WinHttp().WinHttpConnect(session, exchange->host.c_str(), exchange->port, 0)
              : nullptr;
  if (!session) {
    Fail(exchange->response, Stage::kSession);
  } else if (!connection) {
    Fail(exchange->response, Stage::kConnect);
  } else {
    HINTERNET request = OpenRequest(connection, *exchange);
    if (!request) {
      Fail(exchange->response, Stage::kOpen);
    } else if (PublishRequest(*exchange, request)) {
      SendAndReceive(request, *exchange);
      if (HINTERNET still_ours = Finish(*exchange)) WinHttp().WinHttpCloseHandle(still_ours);
    }
    WinHttp().WinHttpCloseHandle(connection);
  }
  Finish(*exchange);  // the failures before the exchange
  if (own) WinHttp().WinHttpCloseHandle(own);
  InterlockedDecrement(&g_live_attempts);
  return 0;
}

bool IsSet(HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// A route as the log names it: the proxy (never credentials) or direct.
std::wstring RouteName(const std::wstring& proxy) {
  return proxy.empty() ? std::wstring(L"dogrudan") : L"vekil=" + proxy;
}

// An attempt the caller gave up on, or never started: no answer, a failure
// to receive (not to send, which would be tried again).
HttpResponse GaveUp(uint32_t error) {
  HttpResponse response;
  response.stage = Stage::kReceive;
  response.error = error;
  return response;
}

// Runs the exchange on a thread of its own and waits for it, for `cancel`
// or for `wait_ms` since it started, whichever comes first. An attempt given
// up on has its request handle closed, which ends the thread's blocked call
// and its connection; the thread keeps the exchange alive until it ends.
HttpResponse RunAttempt(const std::shared_ptr<Exchange>& exchange, HANDLE cancel, DWORD wait_ms) {
  HttpResponse response;
  if (InterlockedIncrement(&g_live_attempts) > kMaxLiveAttempts) {
    InterlockedDecrement(&g_live_attempts);
    response.stage = Stage::kBusy;
    response.error = kErrorTooManyAttempts;
    return response;
  }
  std::unique_ptr<std::shared_ptr<Exchange>> for_thread(new std::shared_ptr<Exchange>(exchange));
  const ScopedHandle thread(CreateThread(nullptr, kAttemptStackBytes, RunExchange, for_thread.get(),
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!thread.valid()) {
    Fail(response, Stage::kConnect);
    InterlockedDecrement(&g_live_attempts);
    return response;
  }
  for_thread.release();  // the thread's now
  const HANDLE waits[2] = {thread.get(), cancel};
  const DWORD spent = GetTickCount() - exchange->started;
  const DWORD outcome =
      WaitForMultipleObjects(cancel ? 2 : 1, waits, FALSE, spent < wait_ms ? wait_ms - spent : 0);
  if (outcome == WAIT_OBJECT_0 || !Abandon(*exchange)) return std::move(exchange->response);
  return GaveUp(outcome == WAIT_OBJECT_0 + 1 ? kErrorCancelled : kErrorDeadline);
}

}  // namespace

bool BodySink::Write(const char* data, uint32_t size, uint32_t* error) {
  const ScopedSrwLock locked(&lock_);
  const uint64_t received = static_cast<uint64_t>(InterlockedCompareExchange64(&received_, 0, 0));
  DWORD written = 0;
  if (closed_) {
    *error = kErrorCancelled;
  } else if (size > limit_ - received) {
    *error = kErrorAnswerTooLarge;
  } else if (!WriteFile(file_, data, size, &written, nullptr) || written != size) {
    *error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
  } else {
    InterlockedExchange64(&received_, static_cast<LONG64>(received + size));
    return true;
  }
  return false;
}

void BodySink::Close() {
  const ScopedSrwLock locked(&lock_);
  closed_ = true;
}

uint64_t BodySink::Received() const {
  return static_cast<uint64_t>(
      InterlockedCompareExchange64(const_cast<volatile LONG64*>(&received_), 0, 0));
}

const char* StageName(Stage stage) {
  switch (stage) {
    case Stage::kSession:
      return "session";
    case Stage::kBusy:
      return "busy";
    case Stage::kConnect:
      return "connect";
    case Stage::kOpen:
      return "open";
    case Stage::kSend:
      return "send";
    case Stage::kReceive:
      return "receive";
    case Stage::kNone:
      break;
  }
  return "";
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

HttpClient::HttpClient(const std::wstring& base_url) : route(ReadProxySettings()) {
  // Request paths are absolute on the host: any path of the base URL goes.
  SiteAddress site;
  if (ReadSiteAddress(base_url, &site)) {
    host = site.host;
    port = site.port;
    secure = site.secure;
  }
  // The direct route; proxied attempts open sessions of their own.
  DWORD protocols = 0;
  session = OpenSession(std::wstring(), false, &protocols);
  secure_protocols = protocols;
  if (session) {
    session_owner_ = std::shared_ptr<void>(session, [](void* handle) {
      WinHttp().WinHttpCloseHandle(static_cast<HINTERNET>(handle));
    });
  }
}

HttpClient::~HttpClient() = default;

HttpResponse HttpClient::RequestOnce(const wchar_t* verb, const std::string& path,
                                     const std::string& body, HANDLE cancel, const SiteAddress* at,
                                     uint32_t wait_ms, const std::shared_ptr<BodySink>& sink) {
  if (!session) {
    HttpResponse response;
    Fail(response, Stage::kSession);
    return response;
  }
  if (host.empty()) {
    HttpResponse response;
    response.stage = Stage::kConnect;
    response.error = ERROR_WINHTTP_INVALID_URL;
    return response;
  }
  if (IsSet(cancel)) return GaveUp(kErrorCancelled);
  const auto exchange = std::make_shared<Exchange>();
  exchange->session = session_owner_;
  const SiteAddress origin = at ? *at : Origin();
  exchange->host = origin.host;
  exchange->port = static_cast<INTERNET_PORT>(origin.port);
  exchange->secure = origin.secure;
  exchange->before_tls13 = InterlockedCompareExchange(&before_tls13_, 0, 0) != 0;
  exchange->verb = verb;
  exchange->path = Utf8ToWide((!path.empty() && path[0] == '/') ? path : "/" + path);
  // The site's cookie goes to the site's host only, not to a host that
  // serves downloads.
  if (!device_cookie.empty() && origin.host == host) {
    exchange->headers += L"Cookie: rb_dev=" + Utf8ToWide(device_cookie) + L"\r\n";
  }
  if (!body.empty()) exchange->headers += L"Content-Type: application/x-www-form-urlencoded\r\n";
  exchange->body = body;
  exchange->sink = sink;
  if (sink) exchange->deadline_ms = sink->deadline_ms;
  // Asking an automatic configuration counts against the attempt's deadline.
  exchange->started = GetTickCount();
  exchange->proxy =
      route.ProxyFor(exchange->secure, exchange->host, exchange->port, exchange->path, cancel);
  const DWORD wait = wait_ms < exchange->deadline_ms ? wait_ms : exchange->deadline_ms;
  // A cancel that came during the route's look-up: nothing is sent.
  if (IsSet(cancel) || GetTickCount() - exchange->started >= wait) {
    return GaveUp(IsSet(cancel) ? kErrorCancelled : kErrorDeadline);
  }
  const std::wstring taken = RouteName(exchange->proxy);
  HttpResponse response = RunAttempt(exchange, cancel, wait);
  response.route = taken;
  response.proxy = exchange->proxy;
  return response;
}

HANDLE HttpClient::PrepareRoute(DWORD* wait_ms) {
  const SiteAddress origin = Origin();
  return route.Prepare(origin.secure, origin.host, origin.port, L"/", wait_ms);
}

std::wstring HttpClient::RouteForLog() {
  const SiteAddress origin = Origin();
  return RouteName(route.KnownProxy(origin.secure, origin.host, origin.port));
}

SiteAddress HttpClient::Origin() const {
  SiteAddress origin;
  origin.host = host;
  const bool upgraded = InterlockedCompareExchange(&upgraded_, 0, 0) != 0;
  origin.secure = secure || upgraded;
  origin.port = upgraded ? 443 : port;
  return origin;
}

HttpResponse HttpClient::Attempts(const wchar_t* verb, const std::string& path,
                                  const std::string& body, HANDLE cancel, const SiteAddress& at,
                                  uint32_t budget_ms, uint32_t started,
                                  const std::shared_ptr<BodySink>& sink) {
  // What is left of the budget; every attempt's own deadline when none.
  const auto left = [&]() -> DWORD {
    if (budget_ms == 0) return sink ? sink->deadline_ms : kAttemptDeadlineMs;
    const DWORD spent = GetTickCount() - started;
    return spent < budget_ms ? budget_ms - spent : 0;
  };
  const auto once = [&]() {
    HttpResponse response = RequestOnce(verb, path, body, cancel, &at, left(), sink);
    // A route that no longer leads anywhere gives way to the next one; a
    // refused handshake or certificate says nothing about the route.
    const Stage stage = response.stage;
    if (response.status == 0 && (stage == Stage::kConnect ||
                                 (stage == Stage::kSend && IsRetryableSendError(response.error)))) {
      route.Failed(at.secure, at.host, at.port, response.proxy);
    }
    return response;
  };
  HttpResponse response = once();
  // A request with a budget of its own (the goodbye) waits a little for an
  // attempt to become free; any other fails at once.
  const DWORD busy_since = GetTickCount();
  while (budget_ms != 0 && response.stage == Stage::kBusy &&
         GetTickCount() - busy_since < kBusyWaitMs && left() > kBusyPollMs &&
         Pause(cancel, kBusyPollMs)) {
    response = once();
  }
  if (at.secure && IsTls13Refusal(response, secure_protocols) &&
      InterlockedExchange(&before_tls13_, 1) == 0) {
    response = once();
  }
  for (int attempt = 1; attempt < kMaxAttempts; ++attempt) {
    if (response.status != 0) break;
    if (response.stage != Stage::kSend || !IsRetryableSendError(response.error)) break;
    if (sink && sink->Received() != 0) break;  // a file half written is not sent again
    if (left() <= kRetryPauseMs || !Pause(cancel, kRetryPauseMs)) break;
    response = once();
  }
  return response;
}

HttpResponse HttpClient::Request(const wchar_t* verb, const std::string& path,
                                 const std::string& body, HANDLE cancel, uint32_t budget_ms) {
  const DWORD started = GetTickCount();
  SiteAddress at = Origin();
  at.rest = Utf8ToWide((!path.empty() && path[0] == '/') ? path : "/" + path);
  const bool post = wcscmp(verb, L"POST") == 0;
  HttpResponse response = Attempts(verb, path, body, cancel, at, budget_ms, started);
  SiteAddress next;
  for (int hops = 0; NextRedirect(at, post, response.status, response.location, hops, &next);
       ++hops) {
    const SiteAddress own = Origin();
    if (at.host == own.host && at.port == own.port && IsHttpsUpgrade(at, next)) {
      InterlockedExchange(&upgraded_, 1);  // later requests go there directly
    }
    at = next;
    response = Attempts(verb, WideToUtf8(at.rest), body, cancel, at, budget_ms, started);
  }
  return response;
}

HttpResponse HttpClient::Get(const std::string& path, HANDLE cancel) {
  return Request(L"GET", path, std::string(), cancel);
}

HttpResponse HttpClient::Post(const std::string& path,
                              const std::map<std::string, std::string>& form, HANDLE cancel,
                              uint32_t budget_ms) {
  return Request(L"POST", path, EncodeForm(form), cancel, budget_ms);
}

HttpResponse HttpClient::Download(const SiteAddress& at, const std::shared_ptr<BodySink>& sink,
                                  HANDLE cancel) {
  const DWORD started = GetTickCount();
  SiteAddress from = at;
  from.rest = from.rest.substr(0, from.rest.find(L'#'));  // a fragment is not sent
  HttpResponse response =
      Attempts(L"GET", WideToUtf8(from.rest), std::string(), cancel, from, 0, started, sink);
  SiteAddress next;
  for (int hops = 0; NextRedirect(from, false, response.status, response.location, hops, &next);
       ++hops) {
    // Only where the offer pointed: a redirect must not change the origin.
    if (next.host != at.host || next.port != at.port || next.secure != at.secure) break;
    from = next;
    response =
        Attempts(L"GET", WideToUtf8(from.rest), std::string(), cancel, from, 0, started, sink);
  }
  return response;
}
