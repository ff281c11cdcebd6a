// The client shell and the game session: start-up options, the diagnostic
// log, the main window, the screenshot file, the update check, the play URL
// and the server's answers, the heartbeat and the movie launch.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "version.h"

// The client's build number, sent to the server and shown to the player.
constexpr int kBuild = TAVRENSIL_BUILD;  // from VERSION

// The start-up options, filled once from the command line.
struct ClientOptions {
  std::wstring movie;
  std::wstring flashvars;
  std::wstring wmode = L"direct";
  std::wstring site;  // set to the configured site base URL by default
  std::wstring shot;
  int32_t after = 5000;
  bool mobile = false;
  std::wstring loading;
};

// The options with their defaults, `argv[1..argc-1]` applied in order:
// exact option names only; an option needing a value takes the next argument
// whatever it is, and as the last argument leaves its field empty (0).
ClientOptions ParseArguments(int argc, wchar_t* const* argv);

// Keeps the last run's `folder`\client.log as client.old.log (replacing an
// older one), so that the lines before a crash survive the next start.
// Nothing happens when there is no log.
void KeepLastLog(const std::wstring& folder);

// Opens (truncating) the log file that Log writes to; false when it cannot
// be opened, and logging then stays off. Called once, at start-up.
bool OpenLog(const std::wstring& path);

// Appends one line to client.log (printf-style, wide), as UTF-8 without a
// byte-order mark; a CR or LF inside it is written as the two characters
// "\r" or "\n", so one call is always one line. Whole lines stay whole when
// threads log at once; does nothing before the log is open.
void Log(const wchar_t* format, ...);

// `line` with every CR and LF in it written as "\r" and "\n".
std::wstring EscapeLineBreaks(const std::wstring& line);

// The executable's folder without a trailing separator ("." if unknown),
// however long its path.
std::wstring ModuleDir();

// The folder part of an executable path as ModuleDir gives it.
std::wstring DirectoryOf(const std::wstring& path);

// Bytes of one 24-bit pixel row of `width` pixels, padded to 4 bytes.
uint32_t BitmapStride(int width);

// The two headers of an uncompressed bottom-up 24-bit bitmap file.
void FillBitmapHeaders(int width, int height, BITMAPFILEHEADER* file, BITMAPINFOHEADER* info);

// Writes headers and pixels to `path`. Writes nothing and returns false when
// `pixels` is null (no complete file can be made) or the file cannot be
// created; a failed write leaves a short file.
bool WriteBitmapFile(const std::wstring& path, const BITMAPFILEHEADER& file,
                     const BITMAPINFOHEADER& info, const void* pixels);

// What the update answer says: whether this build must be updated (a
// truthy "must_update"), where to download ("" if absent) and the newest
// build (1 if absent, fractions truncated).
struct UpdateAnswer {
  bool must_update = false;
  std::wstring download_url;
  int64_t latest_build = 1;
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
struct PlayAnswer {
  bool ok = false;
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
// the end of a longer name ("csrftoken" is not "token"). A "site" value that
// is not a site name counts as an empty one.
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

// MobileMovie with the --loading option.
std::string MobileMovie(const std::string& movie);

// Writes the media control file if needed, creates the control in `window`
// and gives it its properties, "Movie" last. True when the control was
// created; a failure is logged and shown to the player.
bool LaunchFlash(HWND window, const std::wstring& movie, const std::wstring& flashvars);

// The main window's message handler.
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// F11: the borderless full screen on the window's monitor, and back.
void ToggleNativeFullscreen(HWND window);

// Starts the beat thread of the current session (stopping an earlier one
// first); its first beat comes one period later.
void StartHeartbeat();

// Ends the heartbeat: no thread started before sends another beat, even when
// a new one starts at once, and a sleeping thread wakes now. Waits up to 1 s
// for a beat in flight; false when it had not ended by then, in which case
// that beat is cancelled and its answer, if any, changes nothing.
bool StopHeartbeat();

// F5: restarts the game movie while it runs, else reloads the start page.
void ReloadCurrent(HWND window);

// Whether a text field of the web page has the focus (never during a game).
bool WebTextFocus();

// Asks the server whether this build must be updated; if so tells the
// player, opens the download page and ends the process with code 0.
void CheckUpdateOnStartup(HWND window);
