// The game session with the game server: the update check, the play URL,
// hello and play, the heartbeat and the goodbye, and the pure readers of the
// server's answers. The shell drives one GameSession and shows what it
// reports; the session never calls back into the shell.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/update_plan.h"
#include "platform/http.h"

// The client's build number, sent to the server and shown to the player:
// from VERSION, defined in the executable's own build_number.cpp (the
// tests build a newer client from the same objects).
extern const int kBuild;

// What the update answer says: whether this build must be updated (a
// truthy "must_update"), where to download ("" if absent) and the newest
// build (1 if absent, fractions truncated).
struct UpdateAnswer {
  bool must_update = false;
  std::wstring download_url;
  int64_t latest_build = 1;
  // Filled by GameSession::CheckUpdate when an update is required: whether
  // the answer offers an installer (ReadInstallerOffer), or why not.
  bool offered = false;
  InstallerOffer installer;
  std::string not_offered;
};
UpdateAnswer ReadUpdateAnswer(const std::string& body);

// What a hello answer says: whether the session may go on (a truthy "ok")
// with its "challenge" ("" if absent); when not, whether it asks for the
// update check (a truthy "update") and the text to show the player ("error",
// or "Güvenlik doğrulaması başarısız." when absent).
struct HelloAnswer {
  bool ok = false;
  std::string challenge;
  bool update = false;
  std::wstring error;
};
HelloAnswer ReadHelloAnswer(const std::string& body);

// What a play answer says: whether a game may start (a truthy "ok" and a
// "movie" that IsWebAddress) with its "csid", "challenge", "movie" and
// "flashvars" ("" if absent); when not, the text to show ("error", or
// "Oyun başlatılamadı." when absent or when the movie is no web address).
// `refused_movie` marks an answer the server meant as a game (truthy "ok")
// whose movie the client turned away: that session exists on the server.
struct PlayAnswer {
  bool ok = false;
  bool refused_movie = false;
  std::string csid;
  std::string challenge;
  std::string movie;
  std::string flashvars;
  std::wstring error;
};
PlayAnswer ReadPlayAnswer(const std::string& body);

// What a beat's answer means: another status, or an answer with neither a
// truthy "ok" nor a truthy "fatal", keeps the challenge; "ok" brings the
// next "challenge" ("" if absent); "fatal" ends the beats with "error".
struct BeatAnswer {
  enum Kind { kKeepChallenge, kNewChallenge, kFatal };
  Kind kind = kKeepChallenge;
  std::string challenge;
  std::wstring error;
};
BeatAnswer ReadBeatAnswer(int32_t status, const std::string& body);

// The challenge the session holds after a beat's answer: the answer's new
// one, unless closing gave up on that beat (`abandoned`: the goodbye may
// already be signed over `held`); otherwise `held`.
std::string ChallengeAfterBeat(const BeatAnswer& answer, bool abandoned, const std::string& held);

// The play request's form: "build", "challenge" (the hello's), "scheme"
// ("https" when `secure`), "sig" (over "play", the challenge and the token
// and site name on two lines) and "token".
std::map<std::string, std::string> PlayForm(const std::string& token, const std::string& site,
                                            const std::string& challenge, bool secure);

// A beat's or goodbye's form (`action` "beat" or "bye"): "build",
// "challenge", "csid" and "sig" over the action, challenge and csid.
std::map<std::string, std::string> SessionForm(const char* action, const std::string& challenge,
                                               const std::string& csid);

// The update notice shown when the server requires a newer build.
std::wstring UpdateNoticeText(int64_t latest_build);

// Whether `url` is an http or https address (the scheme in any case): the
// only kind the update notice hands to the shell and the only movie address
// of a play answer that the media control is given.
bool IsWebAddress(const std::wstring& url);

// Takes the world and session token out of the site's play URL: `site` is
// "local", "s2".."s15" (from a "/sN/" path segment) or the "site" parameter;
// `shard` the matching API path prefix ("" for the main world, "/s3",
// "/eu1"); `token` the "token" parameter, left untouched when there is none.
// A parameter counts where no name character (letter, digit, '_', '-', '.')
// stands before it: after '?', '&', '#', ';', '/' or at the start, never as
// the end of a longer name ("csrftoken" is not "token"). An empty "site"
// value is the main world; any other that is not a site name names no world:
// `site` and `shard` are then empty.
void ParsePlayUrl(const std::wstring& url, std::string& site, std::string& token,
                  std::string& shard);

// Whether `value` may name a site and so become an API path prefix: 1 to 32
// ASCII letters, digits, '-' and '_'.
bool IsSiteName(const std::string& value);

// The movie to start in mobile mode: the last "/Loading.swf" of `movie`
// becomes the mobile loader (`loading` when it is a plain file name of at
// most 63 bytes, else "Loading_m.swf") and "m=2" is added to the query.
// Any other movie comes back unchanged.
std::string MobileMovie(const std::string& movie, const std::wstring& loading);

// The log line for a request of the road (`request`: "update", "hello",
// "play", "beat", "bye") that got no 200 answer: the request, the failed
// stage and its code or the HTTP status, and the route. Nothing the request
// carried (token, signature, cookie) and nothing of the answer's body is in
// it. Empty for a 200 answer.
std::wstring RoadFailureLine(const char* request, const HttpResponse& response);

// The session values other parts of the client may read, copied at once.
struct SessionValues {
  std::string shard;
  std::string csid;
  std::string token;
};

// What opening a session came to: a game to launch, or a text to show the
// player (and whether the hello asked for the update check first).
struct SessionOpening {
  bool ok = false;
  std::string movie;
  std::string flashvars;
  std::wstring error;
  bool check_update = false;
};

struct SessionState;
struct HeartbeatRun;

// The one game session of the run and the road to the game server. Its
// values live in a state shared with the heartbeat thread, guarded by one
// lock held for moments and never across a network exchange; a beat thread
// left behind at exit keeps that state (and the HTTP client) alive.
//
// Threads: everything but the beats runs on the caller's (UI) thread.
class GameSession {
 public:
  // `site` is the site base URL: the HTTP client's host and the cookie
  // store's address of the device cookie.
  explicit GameSession(const std::wstring& site);
  ~GameSession();
  GameSession(const GameSession&) = delete;
  GameSession& operator=(const GameSession&) = delete;

  HttpClient& Http();

  // Asks the server whether this build must be updated; false when no
  // answer came (the check is then skipped).
  bool CheckUpdate(UpdateAnswer* answer);

  // Takes the token and world out of a play URL; false (and nothing taken)
  // when it carries no token or its "site" names no world.
  bool Take(const std::wstring& play_url);

  // Carries the site's device cookie over and renews it, then hello and the
  // play signed over its challenge. A play answer whose movie the client
  // refuses still gets its goodbye, so the server's session does not idle.
  SessionOpening Open();

  // Starts the heartbeat; the first beat comes one period after the start,
  // each next one a period after the last was sent. When one runs (F5 in
  // game) it changes nothing: a beat in flight goes on and its answer is
  // taken as usual, and no due beat is delayed.
  void StartHeartbeat();

  // Stops the heartbeat for good: no beat starts any more; a sleeping
  // thread ends at once; a beat in flight is waited for up to 15 s, then
  // cancelled, and its answer changes nothing. False when it had to be
  // cancelled.
  bool StopHeartbeat();

  // Closing: stops the heartbeat, then, when a session exists, says
  // goodbye (one signed POST whose answer is not read), signed over the
  // challenge the last beat brought. Both together end within 20 s.
  void Close();

  SessionValues Values() const;

 private:
  // The goodbye, its whole exchange, retries included, within `budget_ms`.
  void SayGoodbye(uint32_t budget_ms);

  std::shared_ptr<SessionState> state_;
  std::shared_ptr<HeartbeatRun> heartbeat_;
  std::wstring site_;
};
