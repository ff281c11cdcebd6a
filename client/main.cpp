// The client shell and the game session: start-up, the log, the main window
// with its handlers and shutdown, full screen and reload, the screenshot of
// direct-movie mode, the update check, the session with the game server and
// the launch of the game movie.
//
// Reading order: constants and globals; pure helpers (options, log and
// files; the play URL and the server's answers); the session; the movie
// launch; the window's handlers and WindowProc; start-up and wWinMain.
#include "main.h"

#include <avrt.h>
#include <ole2.h>
#include <shellapi.h>
#include <timeapi.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "anticheat.h"
#include "browser_cookie.h"
#include "browser_host.h"
#include "crash_report.h"
#include "flash_embed.h"
#include "flash_host.h"
#include "http.h"
#include "json.h"
#include "mobile_bridge.h"
#include "modules.h"
#include "scoped_win.h"
#include "signer.h"
#include "system_libraries.h"

// Ask hybrid-graphics drivers to run the client on the discrete GPU.
extern "C" {
__declspec(dllexport) DWORD NvOptimusEnablement = 1;
__declspec(dllexport) DWORD AmdPowerXpressRequestHighPerformance = 1;
}

// ---------------------------------------------------------------------------
// Constants and globals.

namespace {

const wchar_t kWindowClass[] = L"TavrensilClientWindow";
const wchar_t kWindowTitle[] = L"Tavrensil Online";
const wchar_t kDefaultSite[] = L"https://oyun.tavrensil.com";
const int kClientWidth = 1000;
const int kClientHeight = 600;
const int kHotKeyReload = 1;
const int kHotKeyFullscreen = 2;
const UINT kVirtualKeyF5 = 0x74;
const UINT kVirtualKeyF11 = 0x7A;
const UINT_PTR kTimerScreenshot = 1;
const DWORD kHeartbeatPeriodMs = 20000;
const DWORD kHeartbeatStopWaitMs = 1000;
const wchar_t kOcxName[] = L"Flash32_32_0_0_363.ocx";
const char kMobileLoadingVersion[] = "2";
const char kDefaultMobileLoader[] = "Loading_m.swf";
const size_t kMaxLoaderNameBytes = 63;
const size_t kMaxSiteNameBytes = 32;
const int kDeviceCookieDays = 60;
const size_t kMaxLogLineChars = 1 << 20;

WINDOWPLACEMENT EmptyPlacement() {
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  return placement;
}

ClientOptions g_options;
FILE* g_log = nullptr;
CRITICAL_SECTION g_log_lock;
std::unique_ptr<HttpClient> g_http;
BrowserHost g_browser;
FlashHost g_flash;
bool g_game_running = false;
bool g_native_fullscreen = false;
WINDOWPLACEMENT g_saved_placement = EmptyPlacement();
HANDLE g_mmcss_handle = nullptr;
std::wstring g_last_movie;
std::wstring g_last_flashvars;

// The session. Its strings are read and written only under the session
// lock, which is held for moments and never across a network exchange.
SRWLOCK g_session_lock = SRWLOCK_INIT;
std::string g_site_name = "local";
std::string g_shard;
std::string g_challenge;
std::string g_csid;
std::string g_token;

// The heartbeat. Each started thread gets the generation current at its
// start; a stop moves the generation on, so a thread from before never
// beats again, even when a new one starts at once (F5 in game).
std::atomic<bool> g_heartbeat_running{false};
std::atomic<unsigned> g_heartbeat_generation{0};
HANDLE g_heartbeat_thread = nullptr;
// Wakes sleeping heartbeat threads at once when the heartbeat is stopped.
HANDLE g_heartbeat_wake = nullptr;
// Cancels a beat still in flight once the stop has waited for it long enough.
HANDLE g_beat_cancel = nullptr;
// Under the session lock: answers to beats of generations below this change
// nothing, their beats having been abandoned by a stop.
unsigned g_beat_answer_floor = 0;

// How many reloads and session starts are running. Their message boxes run
// a message loop of their own, which would otherwise deliver an F5 into the
// middle of them.
int g_busy_depth = 0;

// Holds the session lock for its scope.
class SessionLock {
 public:
  SessionLock() { AcquireSRWLockExclusive(&g_session_lock); }
  ~SessionLock() { ReleaseSRWLockExclusive(&g_session_lock); }
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;
};

// Marks a reload or a session start as running for its scope.
class BusyScope {
 public:
  BusyScope() { ++g_busy_depth; }
  ~BusyScope() { --g_busy_depth; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
};

// printf-style formatting into a wide string of any length (up to 1 Mi
// characters; a longer line is cut there).
std::wstring FormatWide(const wchar_t* format, va_list args) {
  std::wstring text(256, L'\0');
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int n = vswprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return text;
    }
    if (text.size() >= kMaxLogLineChars) return text.substr(0, wcsnlen(text.c_str(), text.size()));
    text.assign(text.size() * 2, L'\0');
  }
}

// A character that can stand in a parameter's name.
bool IsNameCharacter(char ch) {
  const unsigned char b = static_cast<unsigned char>(ch);
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
         b == '_' || b == '-' || b == '.';
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

}  // namespace

// ---------------------------------------------------------------------------
// Options, log and files.

ClientOptions ParseArguments(int argc, wchar_t* const* argv) {
  ClientOptions options;
  options.site = kDefaultSite;
  struct TextOption {
    const wchar_t* name;
    std::wstring ClientOptions::*field;
  };
  const TextOption text_options[] = {
      {L"--movie", &ClientOptions::movie}, {L"--flashvars", &ClientOptions::flashvars},
      {L"--wmode", &ClientOptions::wmode}, {L"--site", &ClientOptions::site},
      {L"--shot", &ClientOptions::shot},   {L"--loading", &ClientOptions::loading},
  };
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const wchar_t* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
    bool matched = false;
    for (const TextOption& option : text_options) {
      if (arg != option.name) continue;
      options.*option.field = value ? value : L"";
      matched = true;
    }
    if (arg == L"--after") {
      options.after = value ? _wtoi(value) : 0;
      matched = true;
    }
    if (matched && value) ++i;
    if (arg == L"--mobile") options.mobile = true;
  }
  return options;
}

void KeepLastLog(const std::wstring& folder) {
  MoveFileExW((folder + L"\\client.log").c_str(), (folder + L"\\client.old.log").c_str(),
              MOVEFILE_REPLACE_EXISTING);
}

bool OpenLog(const std::wstring& path) {
  static bool lock_ready = false;
  if (!lock_ready) {
    InitializeCriticalSection(&g_log_lock);
    lock_ready = true;
  }
  g_log = _wfopen(path.c_str(), L"w");
  return g_log != nullptr;
}

std::wstring EscapeLineBreaks(const std::wstring& line) {
  std::wstring out;
  out.reserve(line.size());
  for (const wchar_t ch : line) {
    if (ch == L'\r') {
      out += L"\\r";
    } else if (ch == L'\n') {
      out += L"\\n";
    } else {
      out += ch;
    }
  }
  return out;
}

void Log(const wchar_t* format, ...) {
  if (!g_log) return;
  va_list args;
  va_start(args, format);
  const std::string line = WideToUtf8(EscapeLineBreaks(FormatWide(format, args)));
  va_end(args);
  // One lock around the three stream calls keeps lines from two threads
  // whole instead of interleaved. The stream is in text mode: the line
  // feed goes out as CR LF, as the log has always ended its lines.
  EnterCriticalSection(&g_log_lock);
  fwrite(line.data(), 1, line.size(), g_log);
  fputc('\n', g_log);
  fflush(g_log);
  LeaveCriticalSection(&g_log_lock);
}

std::wstring DirectoryOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? L"." : path.substr(0, separator);
}

std::wstring ModuleDir() { return DirectoryOf(ExecutablePath()); }

uint32_t BitmapStride(int width) { return (3u * static_cast<uint32_t>(width) + 3u) / 4u * 4u; }

void FillBitmapHeaders(int width, int height, BITMAPFILEHEADER* file, BITMAPINFOHEADER* info) {
  const uint32_t image_size = BitmapStride(width) * static_cast<uint32_t>(height);
  *info = BITMAPINFOHEADER();
  info->biSize = sizeof(BITMAPINFOHEADER);
  info->biWidth = width;
  info->biHeight = height;
  info->biPlanes = 1;
  info->biBitCount = 24;
  info->biCompression = BI_RGB;
  info->biSizeImage = image_size;
  *file = BITMAPFILEHEADER();
  file->bfType = 0x4D42;  // "BM"
  file->bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file->bfSize = file->bfOffBits + image_size;
}

bool WriteBitmapFile(const std::wstring& path, const BITMAPFILEHEADER& file,
                     const BITMAPINFOHEADER& info, const void* pixels) {
  if (!pixels) return false;
  const ScopedHandle handle(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!handle.valid()) return false;
  DWORD written = 0;
  return WriteFile(handle.get(), &file, sizeof(file), &written, nullptr) &&
         WriteFile(handle.get(), &info, sizeof(info), &written, nullptr) &&
         WriteFile(handle.get(), pixels, info.biSizeImage, &written, nullptr);
}

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
    // The value becomes a path on the game server: nothing but a name.
    if (IsSiteName(value)) {
      const bool main_world = value == "local" || value == "s1";
      site = main_world ? "local" : value;
      shard = main_world ? "" : "/" + value;
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

UpdateAnswer ReadUpdateAnswer(const std::string& body) {
  const Json answer = Json::Parse(body);
  UpdateAnswer result;
  result.must_update = answer["must_update"].truthy();
  result.download_url = Utf8ToWide(answer["download_url"].str(""));
  result.latest_build = answer["latest_build"].num(1);
  return result;
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

std::string MobileMovie(const std::string& movie) { return MobileMovie(movie, g_options.loading); }

// ---------------------------------------------------------------------------
// The game session.

namespace {

bool IsCurrentHeartbeat(unsigned generation) {
  return g_heartbeat_running && generation == g_heartbeat_generation;
}

// Takes a beat's answer; false when the thread is to end.
bool TakeBeatAnswer(unsigned generation, const HttpResponse& response) {
  const BeatAnswer answer = ReadBeatAnswer(response.status, response.body);
  SessionLock lock;
  if (generation < g_beat_answer_floor) return false;  // abandoned meanwhile
  if (answer.kind == BeatAnswer::kNewChallenge) g_challenge = answer.challenge;
  if (answer.kind != BeatAnswer::kFatal) return true;
  Log(L"Nabiz oturumu sonlandi: %ls", answer.error.c_str());
  return false;
}

// One beat; false when the thread is to end.
bool Beat(unsigned generation) {
  std::string path;
  std::map<std::string, std::string> form;
  {
    SessionLock lock;
    if (!IsCurrentHeartbeat(generation) || g_csid.empty() || !g_http) return false;
    path = g_shard + "/api/client/beat";
    form = SessionForm("beat", g_challenge, g_csid);
  }
  return TakeBeatAnswer(generation, g_http->Post(path, form, g_beat_cancel));
}

// The heartbeat thread; its parameter is the generation it belongs to.
DWORD WINAPI HeartbeatThreadProc(LPVOID parameter) {
  const unsigned generation = static_cast<unsigned>(reinterpret_cast<UINT_PTR>(parameter));
  while (IsCurrentHeartbeat(generation)) {
    WaitForSingleObject(g_heartbeat_wake, kHeartbeatPeriodMs);
    if (!Beat(generation)) break;
  }
  return 0;
}

void SessionBox(HWND window, const std::wstring& text, UINT icon) {
  MessageBoxW(window, text.c_str(), L"Tavrensil", MB_OK | icon);
}

// Carries the site's device cookie over to the HTTP client and renews it.
void TakeDeviceCookie() {
  const std::wstring cookie_url = g_options.site + L"/";
  std::string cookie = BrowserCookie(cookie_url, "rb_dev");
  // The store is the player's profile, open to other programs: a value that
  // could break out of our Cookie header is no device cookie of the site.
  if (!IsCookieValue(cookie)) cookie.clear();
  Log(L"rb_dev cerezi: %ls", cookie.empty() ? L"BULUNAMADI" : L"alindi");
  if (cookie.empty()) return;
  g_http->device_cookie = cookie;
  const bool kept = PersistBrowserCookie(cookie_url, "rb_dev", cookie, kDeviceCookieDays);
  Log(L"rb_dev kalici: %ls", kept ? L"ok" : L"basarisiz");
}

// The hello box's suffix: the failed step and its code, or the status.
std::wstring TransportDetail(const HttpResponse& response) {
  wchar_t text[96];
  if (response.error != 0) {
    swprintf(text, sizeof(text) / sizeof(text[0]), L"\n\n(asama=%hs, kod=%lu)", response.stage,
             static_cast<unsigned long>(response.error));
  } else {
    swprintf(text, sizeof(text) / sizeof(text[0]), L"\n\n(HTTP %d)", response.status);
  }
  return text;
}

// Hello: the one-time challenge for the play request. False after telling
// the player why there is none (or after the update check took over).
bool Hello(HWND window, std::string* challenge) {
  const HttpResponse response =
      g_http->Get(g_shard + "/api/client/hello?build=" + std::to_string(kBuild));
  if (response.status != 200) {
    SessionBox(window,
               L"Güvenlik kapısına bağlanılamadı." + TransportDetail(response) +
                   L"\n\nAntivirüs/güvenlik duvarı TavrensilClient.exe'yi engelliyor olabilir; "
                   L"program klasörünü istisnaya ekleyip tekrar deneyin.",
               MB_ICONERROR);
    return false;
  }
  const HelloAnswer hello = ReadHelloAnswer(response.body);
  if (!hello.ok) {
    // The update check ends the process when it finds an update; when it
    // finds none, the player must still learn why no game starts.
    if (hello.update) CheckUpdateOnStartup(window);
    SessionBox(window, hello.error, MB_ICONERROR);
    return false;
  }
  *challenge = hello.challenge;
  return true;
}

// Play: the session and the movie to start, signed over the hello's
// challenge. False after telling the player why there is none.
bool Play(HWND window, const std::string& challenge, PlayAnswer* play) {
  const HttpResponse response = g_http->Post(
      g_shard + "/api/client/play", PlayForm(g_token, g_site_name, challenge, g_http->secure));
  if (response.status != 200) {
    SessionBox(window, L"Oyun bileti alınamadı.", MB_ICONERROR);
    return false;
  }
  *play = ReadPlayAnswer(response.body);
  if (!play->ok) {
    SessionBox(window, play->error, MB_ICONERROR);
    return false;
  }
  return true;
}

void OnPlayNavigated(HWND window, const std::wstring& url) {
  const BusyScope busy;
  std::string site, token, shard;
  ParsePlayUrl(url, site, token, shard);
  if (token.empty()) {
    SessionBox(window, L"Oturum anahtarı alınamadı, lütfen tekrar giriş yapın.", MB_ICONWARNING);
    return;
  }
  {
    SessionLock lock;
    g_token = token;
    g_site_name = site;
    g_shard = shard;
  }
  TakeDeviceCookie();
  g_browser.Destroy();

  std::string challenge;
  PlayAnswer play;
  if (!Hello(window, &challenge) || !Play(window, challenge, &play)) return;
  {
    SessionLock lock;
    g_csid = play.csid;
    g_challenge = play.challenge;
  }
  const std::string movie = g_options.mobile ? MobileMovie(play.movie) : play.movie;
  if (LaunchFlash(window, Utf8ToWide(movie), Utf8ToWide(play.flashvars))) StartHeartbeat();
}

void SendBye() {
  std::string path;
  std::map<std::string, std::string> form;
  {
    SessionLock lock;
    if (g_csid.empty() || !g_http) return;
    path = g_shard + "/api/client/bye";
    form = SessionForm("bye", g_challenge, g_csid);
  }
  g_http->Post(path, form);
}

PlayNavigationCallback MakePlayCallback(HWND window) {
  return [window](const std::wstring& url) { OnPlayNavigated(window, url); };
}

}  // namespace

void StartHeartbeat() {
  if (g_heartbeat_thread) StopHeartbeat();
  if (!g_heartbeat_wake) g_heartbeat_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_beat_cancel) g_beat_cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(g_heartbeat_wake);
  ResetEvent(g_beat_cancel);
  g_heartbeat_running = true;
  const UINT_PTR generation = g_heartbeat_generation;
  g_heartbeat_thread = CreateThread(nullptr, 0, HeartbeatThreadProc,
                                    reinterpret_cast<LPVOID>(generation), 0, nullptr);
}

bool StopHeartbeat() {
  g_heartbeat_running = false;
  ++g_heartbeat_generation;
  if (g_heartbeat_wake) SetEvent(g_heartbeat_wake);
  if (!g_heartbeat_thread) return true;
  const bool ended = WaitForSingleObject(g_heartbeat_thread, kHeartbeatStopWaitMs) == WAIT_OBJECT_0;
  if (!ended) {
    // A beat still in flight: whatever it brings back now changes nothing,
    // and it no longer holds anyone up.
    {
      SessionLock lock;
      g_beat_answer_floor = g_heartbeat_generation;
    }
    SetEvent(g_beat_cancel);
  }
  CloseHandle(g_heartbeat_thread);
  g_heartbeat_thread = nullptr;
  return ended;
}

void CheckUpdateOnStartup(HWND window) {
  if (!g_http) return;
  const HttpResponse response = g_http->Get("/api/client/update?build=" + std::to_string(kBuild));
  if (response.status != 200) return;
  const UpdateAnswer answer = ReadUpdateAnswer(response.body);
  if (!answer.must_update) return;
  MessageBoxW(window, UpdateNoticeText(answer.latest_build).c_str(),
              L"Tavrensil Güncelleme Gereklidir", MB_OK | MB_ICONINFORMATION);
  // The shell opens whatever it is given; the server's text must not be able
  // to start a local program, so only web addresses go to the browser.
  if (IsWebAddress(answer.download_url)) {
    ShellExecuteW(nullptr, L"open", answer.download_url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  }
  ExitProcess(0);
}

// ---------------------------------------------------------------------------
// The game movie.

bool LaunchFlash(HWND window, const std::wstring& movie, const std::wstring& flashvars) {
  const std::wstring fallback = ModuleDir() + L"\\" + kOcxName;
  std::wstring error;
  std::wstring path = flash_embed::EnsureOcx(kOcxName, &error);
  if (path.empty()) {
    path = fallback;
    if (!error.empty()) Log(L"gomulu flash: %ls", error.c_str());
  }
  Log(L"flash ocx: %ls", path.c_str());
  if (!g_flash.Create(window, path)) {
    Log(L"flash olusturulamadi: %ls", g_flash.last_error.c_str());
    MessageBoxW(window, g_flash.last_error.c_str(), L"Tavrensil Flash Hatası",
                MB_OK | MB_ICONERROR);
    return false;
  }
  Log(L"flash olusturuldu (wmode=%ls)", g_options.wmode.c_str());
  struct Property {
    const wchar_t* name;
    std::wstring value;
    bool set;
  };
  const Property properties[] = {
      {L"WMode", g_options.wmode, true},
      {L"Quality2", L"high", true},
      {L"AllowScriptAccess", L"always", true},
      {L"AllowFullScreen", L"true", true},
      {L"AllowFullScreenInteractive", L"true", true},
      {L"FlashVars", flashvars, !flashvars.empty()},
      {L"Movie", movie, !movie.empty()},  // last: the control starts loading on it
  };
  for (const Property& p : properties) {
    if (!p.set) continue;
    const bool ok = g_flash.SetProperty(p.name, p.value);
    Log(L"set %ls = %ls -> %ls", p.name, p.value.c_str(), ok ? L"ok" : g_flash.last_error.c_str());
  }
  g_last_movie = movie;
  g_last_flashvars = flashvars;
  g_game_running = true;
  return true;
}

// ---------------------------------------------------------------------------
// The window: full screen, reload, the screenshot and the window procedure.

namespace {

void OnSize(LPARAM lparam) {
  const int width = LOWORD(lparam);
  const int height = HIWORD(lparam);
  if (g_game_running) {
    g_flash.Resize(width, height);
  } else {
    g_browser.Resize(width, height);
  }
}

// Copies the client area from the screen into a 24-bit DIB section and
// writes it to `path`; nothing is written when the capture cannot be made.
void CaptureClientArea(HWND window, const std::wstring& path) {
  RECT client;
  GetClientRect(window, &client);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  SetForegroundWindow(window);

  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  FillBitmapHeaders(width, height, &file, &info);
  BITMAPINFO create_info = {};
  create_info.bmiHeader = info;
  create_info.bmiHeader.biSizeImage = 0;

  const ScopedScreenDc screen;
  const ScopedMemoryDc memory(screen.get());
  if (!memory.get()) return;
  void* pixels = nullptr;
  const ScopedGdiObject<HBITMAP> bitmap(
      CreateDIBSection(screen.get(), &create_info, DIB_RGB_COLORS, &pixels, nullptr, 0));
  if (!bitmap.get()) return;
  const ScopedSelection selected(memory.get(), bitmap.get());
  BitBlt(memory.get(), 0, 0, width, height, screen.get(), origin.x, origin.y, SRCCOPY);
  GdiFlush();
  WriteBitmapFile(path, file, info, pixels);
}

void TakeScreenshotAndClose(HWND window) {
  KillTimer(window, kTimerScreenshot);
  const long frame = g_flash.GetLong(L"FrameNum");
  const long total = g_flash.GetLong(L"TotalFrames");
  const long ready = g_flash.GetLong(L"ReadyState");
  Log(L"ReadyState=%ld TotalFrames=%ld FrameNum=%ld", ready, total, frame);
  CaptureClientArea(window, g_options.shot);
  DestroyWindow(window);
}

void OnTimer(HWND window, WPARAM id) {
  if (id == mobile::kTimerId) {
    mobile::OnTimer(window);
  } else if (id == kTimerScreenshot) {
    TakeScreenshotAndClose(window);
  }
}

void OnHotKey(HWND window, WPARAM id) {
  if (id == kHotKeyReload) {
    ReloadCurrent(window);
  } else if (id == kHotKeyFullscreen) {
    ToggleNativeFullscreen(window);
  }
}

// F5 and F11 belong to the client only while its window is the active one;
// other programs keep their own F5 and F11 meanwhile.
void SetHotKeys(HWND window, bool active) {
  if (active) {
    RegisterHotKey(window, kHotKeyReload, 0, kVirtualKeyF5);
    RegisterHotKey(window, kHotKeyFullscreen, 0, kVirtualKeyF11);
  } else {
    UnregisterHotKey(window, kHotKeyReload);
    UnregisterHotKey(window, kHotKeyFullscreen);
  }
}

void OnDestroy(HWND window) {
  SetHotKeys(window, false);
  if (g_options.mobile) mobile::Stop(window);
  StopAntiCheat();
  StopHeartbeat();
  SendBye();
  g_flash.Destroy();
  g_browser.Destroy();
  if (g_mmcss_handle) {
    AvRevertMmThreadCharacteristics(g_mmcss_handle);
    g_mmcss_handle = nullptr;
  }
  timeEndPeriod(1);
  PostQuitMessage(0);
}

}  // namespace

void ToggleNativeFullscreen(HWND window) {
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  if (g_native_fullscreen) {
    SetWindowLongW(window, GWL_STYLE, style | WS_OVERLAPPEDWINDOW);
    SetWindowPlacement(window, &g_saved_placement);
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
    g_native_fullscreen = false;
  } else {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (GetWindowPlacement(window, &g_saved_placement) &&
        GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
      const RECT& r = monitor.rcMonitor;
      SetWindowLongW(window, GWL_STYLE, style & ~WS_OVERLAPPEDWINDOW);
      SetWindowPos(window, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                   SWP_FRAMECHANGED | SWP_NOOWNERZORDER);
      g_native_fullscreen = true;
    }
  }
  Log(L"F11: tam_ekran=%d", g_native_fullscreen ? 1 : 0);
}

void ReloadCurrent(HWND window) {
  if (g_busy_depth > 0) return;  // F5 again while a reload's box is open
  const BusyScope busy;
  Log(L"F5: yenileniyor (oyun_icinde=%d)", g_game_running ? 1 : 0);
  if (g_game_running) {
    StopHeartbeat();
    g_flash.Destroy();
    LaunchFlash(window, g_last_movie, g_last_flashvars);
    StartHeartbeat();
    return;
  }
  g_browser.Destroy();
  g_browser.Create(window, g_options.site + L"/?client=1", MakePlayCallback(window));
}

bool WebTextFocus() { return g_game_running ? false : g_browser.HasTextFocus(); }

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      OnSize(lparam);
      return 0;
    case WM_TIMER:
      OnTimer(window, wparam);
      return 0;
    case WM_HOTKEY:
      OnHotKey(window, wparam);
      return 0;
    case WM_ACTIVATE:
      // The default handling still moves the keyboard focus as it always did.
      SetHotKeys(window, LOWORD(wparam) != WA_INACTIVE);
      return DefWindowProcW(window, message, wparam, lparam);
    case WM_DESTROY:
      OnDestroy(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

// ---------------------------------------------------------------------------
// Start-up.

namespace {

// Newer systems know per-monitor awareness; older ones only the plain kind.
// user32 is already loaded, so this asks for no new module.
void SetDpiAwareness() {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  auto set_context = ModuleFunction<BOOL(WINAPI*)(HANDLE)>(user32, "SetProcessDpiAwarenessContext");
  // -4: per-monitor awareness, version 2.
  if (set_context && set_context(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;
  auto set_aware = ModuleFunction<BOOL(WINAPI*)()>(user32, "SetProcessDPIAware");
  if (set_aware) set_aware();
}

void ReadCommandLine() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) argc = 0;
  g_options = ParseArguments(argc, argv);
  if (argv) LocalFree(argv);
}

void RaiseScheduling() {
  timeBeginPeriod(1);
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

HICON LoadClassIcon(HINSTANCE instance, int size, bool from_file) {
  const UINT flags = (size == 0 ? LR_DEFAULTSIZE : 0) | (from_file ? LR_LOADFROMFILE : 0);
  if (from_file) {
    const std::wstring path = ModuleDir() + L"\\res\\app.ico";
    return static_cast<HICON>(LoadImageW(nullptr, path.c_str(), IMAGE_ICON, size, size, flags));
  }
  return static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, flags));
}

void RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadClassIcon(instance, 0, false);
  wc.hIconSm = LoadClassIcon(instance, 16, false);
  if (!wc.hIcon) {
    wc.hIcon = LoadClassIcon(instance, 0, true);
    wc.hIconSm = LoadClassIcon(instance, 16, true);
  }
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);
}

HWND CreateMainWindow(HINSTANCE instance) {
  RECT rect = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
  return CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                         CW_USEDEFAULT, rect.right - rect.left, rect.bottom - rect.top, nullptr,
                         nullptr, instance, nullptr);
}

void RegisterMmcss() {
  DWORD task_index = 0;
  g_mmcss_handle = AvSetMmThreadCharacteristicsW(L"Games", &task_index);
  Log(L"MMCSS 'Games' kaydi: %ls", g_mmcss_handle ? L"ok" : L"basarisiz");
}

void StartMode(HWND window) {
  if (!g_options.movie.empty()) {
    LaunchFlash(window, g_options.movie, g_options.flashvars);
    if (!g_options.shot.empty()) {
      SetTimer(window, kTimerScreenshot, static_cast<UINT>(g_options.after), nullptr);
    }
    return;
  }
  if (!g_browser.Create(window, g_options.site + L"/?client=1", MakePlayCallback(window))) {
    MessageBoxW(window, L"Web tarayıcı bileşeni başlatılamadı.", L"Tavrensil",
                MB_OK | MB_ICONERROR);
  }
}

int RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!g_game_running && g_browser.TranslateAcceleratorW(&msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  OleUninitialize();
  timeEndPeriod(1);
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  LimitLibrarySearch();
  SetDpiAwareness();
  BrowserHost::EnsureBrowserEmulation();
  ReadCommandLine();
  const std::wstring folder = ModuleDir();
  KeepLastLog(folder);
  OpenLog(folder + L"\\client.log");
  crash_report::Install(folder, Log);
  flash_embed::RemoveStaleCopies(kOcxName);
  Log(L"Tavrensil Client baslatildi (Build %d)", kBuild);
  RaiseScheduling();
  g_http.reset(new HttpClient(g_options.site));
  if (!AntiCheatStartupCheck(g_http.get(), kBuild)) return 1;
  if (FAILED(OleInitialize(nullptr))) {
    timeEndPeriod(1);
    return 1;
  }
  RegisterWindowClass(instance);
  HWND window = CreateMainWindow(instance);
  if (!window) {
    timeEndPeriod(1);
    OleUninitialize();
    return 1;
  }
  // F5 and F11 are registered when the window becomes active (WM_ACTIVATE).
  RegisterMmcss();
  ShowWindow(window, show);
  UpdateWindow(window);
  if (g_options.mobile) {
    ToggleNativeFullscreen(window);
    mobile::Start(window, Log, WebTextFocus);
  }
  StartAntiCheat(window, g_http.get(), &g_shard, &g_csid, &g_token, kBuild);
  // Asking an automatic proxy configuration may take a moment: the window
  // shows first.
  Log(L"baglanti: %ls", g_http->RouteForLog().c_str());
  CheckUpdateOnStartup(window);
  StartMode(window);
  return RunMessageLoop();
}
