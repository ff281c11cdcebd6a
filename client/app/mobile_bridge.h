// Mobile mode: tells a companion process on the same machine whether to show
// the on-screen keyboard and where touches belong. Every 150 ms the bridge
// looks at the keyboard focus of the UI thread and sends one-byte UDP
// datagrams to 127.0.0.1:7947; nothing is ever received.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace mobile {

using LogFunction = void (*)(const wchar_t* format, ...);
// Whether a text field of the web page has the focus; may be empty.
using TextFocusFunction = std::function<bool()>;

// The datagrams, one byte each.
constexpr char kShowKeyboard = 'd';
constexpr char kHideKeyboard = 'e';
constexpr char kTouchWeb = 'f';
constexpr char kTouchGame = 'g';

constexpr UINT_PTR kTimerId = 7;
constexpr UINT kPollMs = 150;
constexpr u_short kCompanionPort = 7947;
constexpr u_long kLoopback = 0x7F000001;  // 127.0.0.1
// Room for a window class name, terminator included.
constexpr int kClassNameChars = 64;
// The web browser's content window; its input-method context is trusted
// from the start, and its text fields are asked about by the predicate.
extern const wchar_t kBrowserClass[];

// One poll's view of the keyboard focus of the UI thread.
struct Sample {
  const void* focus = nullptr;  // the focus window, compared and logged; null: none
  bool ime = false;             // the focus window has an input-method context
  std::wstring class_name;      // its class name, empty without focus
  bool caret = false;           // the thread shows a caret
};

// What one poll asks for: datagrams to send (one per byte, in order) and
// lines to log (in order).
struct Decision {
  std::string bytes;
  std::vector<std::wstring> lines;
};

// The bridge's decisions, independent of the platform. Keeps the keyboard
// and touch-mode state from poll to poll; one instance lives for the process.
class Decider {
 public:
  // One poll: learns input-method classes, decides whether a text entry has
  // the focus and which touch mode applies, and returns what to send and
  // log. `web_text_focus` (may be null) is asked only when the focus is the
  // browser's content window.
  Decision Poll(const Sample& sample, const TextFocusFunction& web_text_focus);

  // What stopping the bridge sends: the hide byte, unlogged, while the
  // keyboard is shown; nothing otherwise. Changes no state.
  Decision Stop() const;

  // Classes whose input-method context means text entry; only grows.
  std::set<std::wstring> ime_classes{kBrowserClass};
  const void* last_focus = nullptr;
  bool last_ime = false;
  bool last_caret = false;
  bool last_dom = false;
  // A window recognised as a text entry through its input method; stays one
  // while it keeps the focus.
  const void* sticky_focus = nullptr;
  bool last_text = false;  // the keyboard is shown
  int not_text_polls = 0;  // consecutive polls without text while shown
  int touch_mode = -1;     // the last touch-mode byte sent, -1 before any
  int resend_ticks = 0;    // polls since the touch-mode byte was last sent

 private:
  struct Verdict {
    bool text = false;
    bool dom = false;
    bool sticky = false;
  };
  void Learn(const Sample& sample);
  Verdict Classify(const Sample& sample, bool trusted, const TextFocusFunction& web_text_focus);
  void Keyboard(bool text, Decision& out);
  void TouchMode(const std::wstring& class_name, Decision& out);
};

// The UI thread's focus as the platform reports it now.
Sample SampleFocus();

// Logs the decision's lines through `log` (none when null) and sends each of
// its bytes as one datagram from `socket` to `target`; sends nothing when
// `socket` is INVALID_SOCKET. Send results are not examined.
void Deliver(const Decision& decision, LogFunction log, SOCKET socket, const sockaddr_in& target);

// A UDP socket bound to 127.0.0.1 (any port), reachable from this machine
// only; INVALID_SOCKET when it cannot be made. Needs Winsock started.
SOCKET OpenLoopbackSocket();

// The bridge of one window: its socket, where the companion listens, and the
// Decider, from Start to Stop. Lives on the UI thread.
class Bridge {
 public:
  Bridge() = default;
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Opens the UDP socket (its absence is logged and tolerated) and sets the
  // poll timer on `window`. Called once, in mobile mode, after full screen.
  void Start(HWND window, LogFunction log, TextFocusFunction web_text_focus);

  // One poll; called on the bridge's timer.
  void OnTimer();

  // Kills the timer, hides a shown keyboard and closes the socket.
  void Stop(HWND window);

 private:
  LogFunction log_ = nullptr;
  TextFocusFunction web_text_focus_;
  SOCKET socket_ = INVALID_SOCKET;
  sockaddr_in target_ = {AF_INET, 0, {}, {}};
  Decider decider_;
};

}  // namespace mobile
