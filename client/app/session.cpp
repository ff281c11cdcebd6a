#include "app/session.h"

#include <windows.h>

#include <cstring>

#include "platform/browser_cookie.h"
#include "core/json.h"
#include "app/log.h"
#include "app/update.h"
#include "platform/scoped_win.h"
#include "core/signer.h"
#include "platform/thread_stack.h"

namespace {

const DWORD kHeartbeatPeriodMs = 20000;
// Closing, the wait for a beat in flight included, ends within this: it is
// not held hostage by a server that does not answer.
const DWORD kGoodbyeBudgetMs = 20000;
// How much of it closing gives a beat in flight, whose answer brings the
// challenge the goodbye must be signed over (the server has already spent
// the one the client holds). The goodbye keeps the rest.
const DWORD kCloseBeatWaitMs = 15000;
// The heartbeat thread parses the beat's answer, as deep as the parser
// goes, and keeps its part for a crash report; the rest of a beat (the
// request, the log line) takes a few KiB.
const SIZE_T kHeartbeatStackBytes = kJsonParseStackBytes + kOverflowReserve + 64 * 1024;
static_assert(kHeartbeatStackBytes >= kJsonParseStackBytes + kOverflowReserve,
              "the heartbeat thread parses the beat's answer");
const char kMobileLoadingVersion[] = "2";
const char kDefaultMobileLoader[] = "Loading_m.swf";
const size_t kMaxLoaderNameBytes = 63;
const size_t kMaxSiteNameBytes = 32;
const int kDeviceCookieDays = 60;

// A character that can stand in a parameter's name.
bool IsNameCharacter(char ch) {
  const unsigned char b = static_cast<unsigned char>(ch);
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' ||
         b == '-' || b == '.';
}

// The value of parameter `name` (given with its "=") in `url`: the first
// occurrence not preceded by a name character (so after '?', '&', '#', ';',
// '/' or at the start), up to the next '&', '#' or '?'. False when there is
// none.
bool QueryValue(const std::string& url, const std::string& name, std::string* value) {
  // "csrftoken=" or "mysite=" are other parameters, not these.
  const auto starts_parameter = [](const std::string& text, size_t at) {
    return at == 0 || !IsNameCharacter(text[at - 1]);
  };
  return FindKeyedValue(url, name, starts_parameter, "&#?", value);
}

// 1 to `max_bytes` ASCII letters, digits and characters of `extra`.
bool IsPlainName(const std::string& text, size_t max_bytes, const char* extra) {
  if (text.empty() || text.size() > max_bytes) return false;
  for (const char ch : text) {
    const unsigned char b = static_cast<unsigned char>(ch);
    const bool alnum = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
    if (!alnum && (b == 0 || !std::strchr(extra, b))) return false;
  }
  return true;
}

// The hello box's suffix: the failed step and its code, or the status.
std::wstring TransportDetail(const HttpResponse& response) {
  wchar_t text[96];
  if (response.error != 0) {
    swprintf(text, sizeof(text) / sizeof(text[0]), L"\n\n(asama=%hs, kod=%lu)",
             StageName(response.stage), static_cast<unsigned long>(response.error));
  } else {
    swprintf(text, sizeof(text) / sizeof(text[0]), L"\n\n(HTTP %d)", response.status);
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// The play URL, the server's answers and the signed forms.

bool IsSiteName(const std::string& value) { return IsPlainName(value, kMaxSiteNameBytes, "-_"); }

void ParsePlayUrl(const std::wstring& url, std::string& site, std::string& token,
                  std::string& shard) {
  const std::string u = WideToUtf8(url);
  shard.clear();
  site = "local";
  std::string value;
  if (QueryValue(u, "site=", &value)) {
    // The value becomes a path on the game server: nothing but a name. A
    // value that is none names no world, and no game starts from it (the
    // main world would be a world the player did not choose).
    if (IsSiteName(value)) {
      const bool main_world = value == "local" || value == "s1";
      site = main_world ? "local" : value;
      shard = main_world ? "" : "/" + value;
    } else if (!value.empty()) {
      site.clear();
    }
  } else {
    // The highest number first, so "/s12/" is never taken for "/s1/...".
    for (int n = 15; n >= 2; --n) {
      const std::string number = std::to_string(n);
      if (u.find("/s" + number + "/") == std::string::npos) continue;
      site = "s" + number;
      shard = "/s" + number;
      break;
    }
  }
  if (QueryValue(u, "token=", &value)) token = value;
}

bool IsWebAddress(const std::wstring& url) {
  return _wcsnicmp(url.c_str(), L"http://", 7) == 0 || _wcsnicmp(url.c_str(), L"https://", 8) == 0;
}

UpdateAnswer ReadUpdateAnswer(const std::string& body) {
  const Json answer = Json::Parse(body);
  UpdateAnswer result;
  result.must_update = answer["must_update"].truthy();
  result.download_url = Utf8ToWide(answer["download_url"].str(""));
  result.latest_build = answer["latest_build"].num(1);
  return result;
}

HelloAnswer ReadHelloAnswer(const std::string& body) {
  const Json answer = Json::Parse(body);
  HelloAnswer result;
  result.ok = answer["ok"].truthy();
  result.challenge = answer["challenge"].str("");
  result.update = !result.ok && answer["update"].truthy();
  result.error = Utf8ToWide(answer["error"].str("Güvenlik doğrulaması başarısız."));
  return result;
}

PlayAnswer ReadPlayAnswer(const std::string& body) {
  const Json answer = Json::Parse(body);
  PlayAnswer result;
  result.ok = answer["ok"].truthy();
  result.csid = answer["csid"].str("");
  result.challenge = answer["challenge"].str("");
  result.movie = answer["movie"].str("");
  result.flashvars = answer["flashvars"].str("");
  result.error = Utf8ToWide(answer["error"].str("Oyun başlatılamadı."));
  // Only a web address: the control would open a file share (and hand it
  // the player's credentials) or a local file just as readily.
  if (result.ok && !IsWebAddress(Utf8ToWide(result.movie))) {
    result.ok = false;
    result.refused_movie = true;
    result.error = L"Oyun başlatılamadı.";
  }
  return result;
}

BeatAnswer ReadBeatAnswer(int32_t status, const std::string& body) {
  BeatAnswer result;
  if (status != 200) return result;  // the next beat tries the same challenge
  const Json answer = Json::Parse(body);
  if (answer["ok"].truthy()) {
    result.kind = BeatAnswer::kNewChallenge;
    result.challenge = answer["challenge"].str("");
  } else if (answer["fatal"].truthy()) {
    result.kind = BeatAnswer::kFatal;
    result.error = Utf8ToWide(answer["error"].str(""));
  }
  return result;
}

std::string ChallengeAfterBeat(const BeatAnswer& answer, bool abandoned, const std::string& held) {
  return answer.kind == BeatAnswer::kNewChallenge && !abandoned ? answer.challenge : held;
}

std::map<std::string, std::string> PlayForm(const std::string& token, const std::string& site,
                                            const std::string& challenge, bool secure) {
  return {{"build", std::to_string(kBuild)},
          {"challenge", challenge},
          {"scheme", secure ? "https" : "http"},
          {"sig", SignRequest("play", challenge, token + "\n" + site)},
          {"token", token}};
}

std::map<std::string, std::string> SessionForm(const char* action, const std::string& challenge,
                                               const std::string& csid) {
  return {{"build", std::to_string(kBuild)},
          {"challenge", challenge},
          {"csid", csid},
          {"sig", SignRequest(action, challenge, csid)}};
}

std::wstring UpdateNoticeText(int64_t latest_build) {
  return L"Tavrensil Online istemcisinin yeni bir sürümü yayınlandı!\n\nMevcut Sürüm: v" +
         std::to_wstring(kBuild) + L"\nEn Yeni Sürüm: v" + std::to_wstring(latest_build) +
         L"\n\nOyuna devam edebilmek için lütfen yeni sürümü indirin.\n"
         L"İndirme sayfası tarayıcınızda açılacaktır.";
}

std::string MobileMovie(const std::string& movie, const std::wstring& loading) {
  static const std::string kLoader = "/Loading.swf";
  const size_t at = movie.rfind(kLoader);
  if (at == std::string::npos) return movie;
  // A plain file name: no path, no spaces, nothing outside ASCII.
  const std::string chosen = WideToUtf8(loading);
  const std::string name =
      IsPlainName(chosen, kMaxLoaderNameBytes, "-._") ? chosen : kDefaultMobileLoader;
  std::string result = movie.substr(0, at) + "/" + name + movie.substr(at + kLoader.size());
  result += result.find('?') == std::string::npos ? "?" : "&";
  result += "m=";
  result += kMobileLoadingVersion;
  return result;
}

std::wstring RoadFailureLine(const char* request, const HttpResponse& response) {
  if (response.status == 200) return std::wstring();
  wchar_t detail[64];
  if (response.status == 0) {
    swprintf(detail, sizeof(detail) / sizeof(detail[0]), L"asama=%hs kod=%lu",
             StageName(response.stage), static_cast<unsigned long>(response.error));
  } else {
    swprintf(detail, sizeof(detail) / sizeof(detail[0]), L"http=%d", response.status);
  }
  return L"istek basarisiz: " + Utf8ToWide(request) + L" " + detail + L" baglanti=" +
         (response.route.empty() ? L"yok" : response.route);
}

namespace {

// Logs a request of the road that got no 200 answer; a successful one, beats
// above all, stays silent.
void LogRoad(const char* request, const HttpResponse& response) {
  const std::wstring line = RoadFailureLine(request, response);
  if (!line.empty()) Log(L"%ls", line.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// The session's state, shared with the heartbeat thread.

// Everything the session knows, under `lock`, which is held for moments and
// never across a network exchange.
struct SessionState {
  explicit SessionState(const std::wstring& site) : http(new HttpClient(site)) {}
  std::shared_ptr<HttpClient> http;  // set once; used from both threads
  mutable SRWLOCK lock = SRWLOCK_INIT;
  std::string site_name = "local";
  std::string shard;
  std::string token;
  std::string csid;
  std::string challenge;
};

// One heartbeat thread and its own events. The session and the thread share
// it; a thread left behind at exit keeps it (and the state) alive.
struct HeartbeatRun {
  ScopedHandle stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  // Cancels this thread's beat in flight, and no other's.
  ScopedHandle cancel{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle thread;
  // Under the state's lock: the stop has begun, so no beat starts any more
  // (a beat due at the same moment included).
  bool stopping = false;
  // Under the state's lock: the stop gave up on this thread's beat, whose
  // answer then changes nothing.
  bool abandoned = false;

  bool Ready() const { return stop.valid() && cancel.valid(); }
};

namespace {

// What the heartbeat thread is handed: its run and the session's state.
struct HeartbeatContext {
  std::shared_ptr<HeartbeatRun> run;
  std::shared_ptr<SessionState> state;
};

// Takes a beat's answer; false when the thread is to end.
bool TakeBeatAnswer(const HeartbeatContext& context, const HttpResponse& response) {
  const BeatAnswer answer = ReadBeatAnswer(response.status, response.body);
  const ScopedSrwLock lock(&context.state->lock);
  context.state->challenge =
      ChallengeAfterBeat(answer, context.run->abandoned, context.state->challenge);
  if (context.run->abandoned) return false;
  if (answer.kind != BeatAnswer::kFatal) return true;
  Log(L"Nabiz oturumu sonlandi: %ls", answer.error.c_str());
  return false;
}

// One beat; false when the thread is to end.
bool Beat(const HeartbeatContext& context) {
  std::string path;
  std::map<std::string, std::string> form;
  {
    const ScopedSrwLock lock(&context.state->lock);
    if (context.run->stopping || context.state->csid.empty()) return false;
    path = context.state->shard + "/api/client/beat";
    form = SessionForm("beat", context.state->challenge, context.state->csid);
  }
  const HttpResponse response = context.state->http->Post(path, form, context.run->cancel.get());
  LogRoad("beat", response);
  return TakeBeatAnswer(context, response);
}

// How long to sleep until the next beat, due a period after the last one
// was sent: a slow answer does not push the beats later.
DWORD UntilNextBeat(DWORD last_sent, DWORD now) {
  const DWORD since = now - last_sent;
  return since < kHeartbeatPeriodMs ? kHeartbeatPeriodMs - since : 0;
}

DWORD WINAPI HeartbeatThreadProc(LPVOID parameter) {
  KeepStackForReport();
  const std::unique_ptr<HeartbeatContext> context(static_cast<HeartbeatContext*>(parameter));
  DWORD last_sent = GetTickCount();
  for (;;) {
    const DWORD wait = UntilNextBeat(last_sent, GetTickCount());
    if (WaitForSingleObject(context->run->stop.get(), wait) != WAIT_TIMEOUT) break;
    last_sent = GetTickCount();
    if (!Beat(*context)) break;
  }
  return 0;
}

// Carries the site's device cookie over to the HTTP client and renews it.
void CarryDeviceCookie(HttpClient& http, const std::wstring& site) {
  const std::wstring cookie_url = site + L"/";
  std::string cookie = BrowserCookie(cookie_url, "rb_dev");
  // The store is the player's profile, open to other programs: a value that
  // could break out of our Cookie header is no device cookie of the site.
  if (!IsCookieValue(cookie)) cookie.clear();
  Log(L"rb_dev cerezi: %ls", cookie.empty() ? L"BULUNAMADI" : L"alindi");
  if (cookie.empty()) return;
  http.device_cookie = cookie;
  const bool kept = PersistBrowserCookie(cookie_url, "rb_dev", cookie, kDeviceCookieDays);
  Log(L"rb_dev kalici: %ls", kept ? L"ok" : L"basarisiz");
}

// One signed goodbye, its whole exchange within `budget_ms`; the answer is
// not read.
void SendGoodbye(HttpClient& http, const std::string& shard, const std::string& challenge,
                 const std::string& csid, DWORD budget_ms = kGoodbyeBudgetMs) {
  LogRoad("bye", http.Post(shard + "/api/client/bye", SessionForm("bye", challenge, csid), nullptr,
                           budget_ms));
}

bool HasEnded(const HeartbeatRun& run) {
  return !run.thread.valid() || WaitForSingleObject(run.thread.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

// ---------------------------------------------------------------------------
// The session.

GameSession::GameSession(const std::wstring& site)
    : state_(std::make_shared<SessionState>(site)), site_(site) {}

GameSession::~GameSession() { StopHeartbeat(); }

HttpClient& GameSession::Http() { return *state_->http; }

bool GameSession::CheckUpdate(UpdateAnswer* answer) {
  const HttpResponse response =
      state_->http->Get("/api/client/update?build=" + std::to_string(kBuild));
  LogRoad("update", response);
  if (response.status != 200) return false;
  *answer = ReadUpdateAnswer(response.body);
  if (answer->must_update) {
    answer->offered = ReadInstallerOffer(response.body, state_->http->host, InstallerHosts(),
                                         kBuild, &answer->installer, &answer->not_offered);
  }
  return true;
}

bool GameSession::Take(const std::wstring& play_url) {
  std::string site, token, shard;
  ParsePlayUrl(play_url, site, token, shard);
  if (token.empty() || site.empty()) return false;
  const ScopedSrwLock lock(&state_->lock);
  state_->token = token;
  state_->site_name = site;
  state_->shard = shard;
  return true;
}

SessionOpening GameSession::Open() {
  SessionOpening opening;
  HttpClient& http = *state_->http;
  CarryDeviceCookie(http, site_);
  SessionValues values = Values();
  std::string site_name;
  {
    const ScopedSrwLock lock(&state_->lock);
    site_name = state_->site_name;
  }

  const HttpResponse hello_response =
      http.Get(values.shard + "/api/client/hello?build=" + std::to_string(kBuild));
  LogRoad("hello", hello_response);
  if (hello_response.status != 200) {
    opening.error = L"Güvenlik kapısına bağlanılamadı." + TransportDetail(hello_response);
    // All attempts taken is the client's own state, not a blocked program.
    if (hello_response.stage != Stage::kBusy) {
      opening.error +=
          L"\n\nAntivirüs/güvenlik duvarı TavrensilClient.exe'yi engelliyor olabilir; "
          L"program klasörünü istisnaya ekleyip tekrar deneyin.";
    }
    return opening;
  }
  const HelloAnswer hello = ReadHelloAnswer(hello_response.body);
  if (!hello.ok) {
    opening.error = hello.error;
    opening.check_update = hello.update;
    return opening;
  }

  const HttpResponse play_response =
      http.Post(values.shard + "/api/client/play",
                PlayForm(values.token, site_name, hello.challenge, http.Secure()));
  LogRoad("play", play_response);
  if (play_response.status != 200) {
    opening.error = L"Oyun bileti alınamadı.";
    return opening;
  }
  const PlayAnswer play = ReadPlayAnswer(play_response.body);
  if (!play.ok) {
    // The server opened a session for a movie we will not play: end it now
    // rather than let it idle out. It never becomes the client's session.
    if (play.refused_movie && !play.csid.empty()) {
      SendGoodbye(http, values.shard, play.challenge, play.csid);
    }
    opening.error = play.error;
    return opening;
  }
  {
    const ScopedSrwLock lock(&state_->lock);
    state_->csid = play.csid;
    state_->challenge = play.challenge;
  }
  opening.ok = true;
  opening.movie = play.movie;
  opening.flashvars = play.flashvars;
  return opening;
}

void GameSession::StartHeartbeat() {
  if (heartbeat_ && !HasEnded(*heartbeat_)) return;  // F5: the beats keep their time
  heartbeat_.reset();
  auto run = std::make_shared<HeartbeatRun>();
  if (!run->Ready()) return;
  HeartbeatContext* context = new HeartbeatContext{run, state_};
  run->thread.reset(CreateThread(nullptr, kHeartbeatStackBytes, HeartbeatThreadProc, context,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!run->thread.valid()) {
    delete context;
    return;
  }
  heartbeat_ = run;
}

bool GameSession::StopHeartbeat() {
  const std::shared_ptr<HeartbeatRun> run = std::move(heartbeat_);
  if (!run || !run->thread.valid()) return true;
  {
    const ScopedSrwLock lock(&state_->lock);
    run->stopping = true;
  }
  SetEvent(run->stop.get());
  const bool ended = WaitForSingleObject(run->thread.get(), kCloseBeatWaitMs) == WAIT_OBJECT_0;
  if (!ended) {
    // A beat still in flight: whatever it brings back now changes nothing,
    // and it no longer holds anyone up.
    {
      const ScopedSrwLock lock(&state_->lock);
      run->abandoned = true;
    }
    SetEvent(run->cancel.get());
  }
  return ended;
}

void GameSession::Close() {
  const DWORD started = GetTickCount();
  StopHeartbeat();
  const DWORD spent = GetTickCount() - started;
  SayGoodbye(kGoodbyeBudgetMs - (spent < kCloseBeatWaitMs ? spent : kCloseBeatWaitMs));
}

void GameSession::SayGoodbye(uint32_t budget_ms) {
  std::string shard, challenge, csid;
  {
    const ScopedSrwLock lock(&state_->lock);
    if (state_->csid.empty()) return;
    shard = state_->shard;
    challenge = state_->challenge;
    csid = state_->csid;
  }
  SendGoodbye(*state_->http, shard, challenge, csid, budget_ms);
}

SessionValues GameSession::Values() const {
  const ScopedSrwLock lock(&state_->lock);
  return SessionValues{state_->shard, state_->csid, state_->token};
}
