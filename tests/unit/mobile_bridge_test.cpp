// The mobile bridge: its decisions over sequences of polls, the datagrams it
// hands to the socket, and the focus sampling on real windows.
#include "app/mobile_bridge.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Stand-ins for focus windows; only their addresses matter.
const char kWindowA = 0;
const char kWindowB = 0;
const void* const kPage = &kWindowA;
const void* const kOther = &kWindowB;

const wchar_t kMozilla[] = L"MozillaWindowClass";
const wchar_t kFlash[] = L"MacromediaFlashPlayerActiveX";
const wchar_t kEdit[] = L"TavrensilTestEdit";

// The page's answer to "is a text field focused?", and how often it was asked.
bool g_page_answer = false;
int g_page_asked = 0;

bool PageTextFocus() {
  ++g_page_asked;
  return g_page_answer;
}

// Log lines the bridge writes through its log function.
std::vector<std::wstring> g_logged;

void CaptureLog(const wchar_t* format, ...) {
  wchar_t buffer[512];
  va_list args;
  va_start(args, format);
  const int n = _vsnwprintf(buffer, 511, format, args);
  va_end(args);
  buffer[511] = L'\0';
  g_logged.push_back(n < 0 ? std::wstring(buffer) : std::wstring(buffer, n));
}

mobile::Sample Focus(const void* focus, const wchar_t* class_name, bool ime = false,
                     bool caret = false) {
  mobile::Sample sample;
  sample.focus = focus;
  sample.class_name = class_name;
  sample.ime = ime;
  sample.caret = caret;
  return sample;
}

mobile::Sample NoFocus(bool caret = false) {
  mobile::Sample sample;
  sample.caret = caret;
  return sample;
}

std::wstring OdakLine(const void* focus, const wchar_t* class_name, bool ime, bool caret, bool dom,
                      bool trusted, bool sticky, bool text) {
  wchar_t buffer[256];
  _snwprintf(buffer, 255,
             L"odak: %p [%ls] ime=%d caret=%d dom=%d ime_guvenilir=%d yapiskan=%d -> yazi=%d",
             focus, class_name, ime, caret, dom, trusted, sticky, text);
  buffer[255] = L'\0';
  return buffer;
}

// One poll of a scripted sequence and what it must give.
struct Step {
  mobile::Sample sample;
  bool page_answer;
  std::string bytes;
  std::vector<std::wstring> lines;
};

void RunSteps(const char* name, const std::vector<Step>& steps) {
  mobile::Decider decider;
  for (size_t i = 0; i < steps.size(); ++i) {
    g_page_answer = steps[i].page_answer;
    const mobile::Decision got = decider.Poll(steps[i].sample, PageTextFocus);
    EXPECT_EQ(got.bytes, steps[i].bytes) << name << ", poll " << i + 1;
    EXPECT_EQ(got.lines, steps[i].lines) << name << ", poll " << i + 1;
  }
}

using Lines = std::vector<std::wstring>;

TEST(MobileDecider, Sequences) {
  const auto page = Focus(kPage, kMozilla, true, true);
  const auto page_odak = [&](bool dom) {
    return OdakLine(kPage, kMozilla, true, true, dom, true, false, dom);
  };
  const auto flash = Focus(kOther, kFlash, true);
  const auto flash_odak = OdakLine(kOther, kFlash, true, false, false, false, false, false);

  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  std::vector<Case> cases = {
      {"web text field: keyboard at once, web touch mode",
       {{page, true, "df", {page_odak(true), L"klavye: ac", L"dokunmatik: web"}},
        {page, true, "", {}}}},
      {"web page without a text field: no keyboard despite context and caret",
       {{page, false, "f", {page_odak(false), L"dokunmatik: web"}}}},
      {"field lost for 2 polls and back: nothing sent",
       {{page, true, "df", {page_odak(true), L"klavye: ac", L"dokunmatik: web"}},
        {page, false, "", {page_odak(false)}},
        {page, false, "", {}},
        {page, true, "", {page_odak(true)}},
        {page, false, "", {page_odak(false)}},
        {page, false, "", {}},
        {page, false, "", {}},
        {page, true, "", {page_odak(true)}}}},
      {"field lost for 4 polls: hidden on the 4th",
       {{page, true, "df", {page_odak(true), L"klavye: ac", L"dokunmatik: web"}},
        {page, false, "", {page_odak(false)}},
        {page, false, "", {}},
        {page, false, "", {}},
        {page, false, "e", {L"klavye: kapat"}},
        {page, false, "", {}},
        {page, true, "d", {page_odak(true), L"klavye: ac"}}}},
      {"identical polls log nothing",
       {{Focus(kOther, kEdit), false, "", {OdakLine(kOther, kEdit, 0, 0, 0, 0, 0, 0)}},
        {Focus(kOther, kEdit), false, "", {}},
        {Focus(kOther, kEdit, false, true),
         false,
         "d",
         {OdakLine(kOther, kEdit, 0, 1, 0, 0, 0, 1), L"klavye: ac"}},
        {Focus(kOther, kEdit, false, true), false, "", {}}}},
      {"no focus: empty class, no touch mode, text only with a caret",
       {{NoFocus(), false, "", {}},
        {NoFocus(true), false, "d", {OdakLine(nullptr, L"", 0, 1, 0, 0, 0, 1), L"klavye: ac"}},
        {NoFocus(), false, "", {OdakLine(nullptr, L"", 0, 0, 0, 0, 0, 0)}}}},
      {"a window class named like the browser's but the predicate is only for it",
       {{Focus(kOther, L"MozillaWindowClassX", true),
         false,
         "",
         {OdakLine(kOther, L"MozillaWindowClassX", 1, 0, 0, 0, 0, 0)}}}},
      {"the flash prefix needs all 15 characters",
       {{Focus(kOther, L"MacromediaFlas"),
         false,
         "",
         {OdakLine(kOther, L"MacromediaFlas", 0, 0, 0, 0, 0, 0)}},
        {Focus(kPage, L"MacromediaFlash"),
         false,
         "g",
         {OdakLine(kPage, L"MacromediaFlash", 0, 0, 0, 0, 0, 0), L"dokunmatik: oyun"}}}},
      {"a new class under the same focus and flags logs no odak line",
       {{Focus(kOther, kEdit), false, "", {OdakLine(kOther, kEdit, 0, 0, 0, 0, 0, 0)}},
        {Focus(kOther, kFlash), false, "g", {L"dokunmatik: oyun"}}}},
  };

  // The game window: "g" at once with its line, then again every 20 polls
  // without one. A window of no touch mode in between neither sends nor
  // touches the count.
  Case game{"game movie: touch mode repeated every 20 polls", {}};
  game.steps.push_back({flash, false, "g", {flash_odak, L"dokunmatik: oyun"}});
  for (int poll = 2; poll <= 41; ++poll) {
    game.steps.push_back({flash, false, poll == 21 || poll == 41 ? "g" : "", {}});
  }
  for (int poll = 42; poll <= 51; ++poll) game.steps.push_back({flash, false, "", {}});
  game.steps.push_back(
      {Focus(kPage, kEdit), false, "", {OdakLine(kPage, kEdit, 0, 0, 0, 0, 0, 0)}});
  game.steps.push_back({flash, false, "", {flash_odak}});
  for (int poll = 53; poll <= 60; ++poll) game.steps.push_back({flash, false, "", {}});
  game.steps.push_back({flash, false, "g", {}});
  game.steps.push_back({page, false, "f", {page_odak(false), L"dokunmatik: web"}});
  game.steps.push_back({flash, false, "g", {flash_odak, L"dokunmatik: oyun"}});
  cases.push_back(game);

  for (const Case& c : cases) RunSteps(c.name, c.steps);
}

TEST(MobileDecider, LearnsInputMethodClassesAndKeepsStickyFocus) {
  const auto edit = [](const void* focus, bool ime) { return Focus(focus, kEdit, ime); };
  RunSteps("learned class, sticky focus",
           {
               // Untrusted context: not text.
               {edit(kPage, true), false, "", {OdakLine(kPage, kEdit, 1, 0, 0, 0, 0, 0)}},
               // The context goes while the window keeps the focus: learned
               // (it has no context now, so still no text).
               {edit(kPage, false), false, "", {OdakLine(kPage, kEdit, 0, 0, 0, 1, 0, 0)}},
               // Context back, trusted: text entry, sticky from here.
               {edit(kPage, true),
                false,
                "d",
                {OdakLine(kPage, kEdit, 1, 0, 0, 1, 0, 1), L"klavye: ac"}},
               // Context gone, same focus: still text, through the sticky focus.
               {edit(kPage, false), false, "", {OdakLine(kPage, kEdit, 0, 0, 0, 1, 1, 1)}},
               {edit(kPage, false), false, "", {}},
               // Another window of the same class without a context: the
               // sticky focus is dropped.
               {edit(kOther, false), false, "", {OdakLine(kOther, kEdit, 0, 0, 0, 1, 0, 0)}},
               // Back to the first one, no context: no longer text.
               {edit(kPage, false), false, "", {OdakLine(kPage, kEdit, 0, 0, 0, 1, 0, 0)}},
               {edit(kPage, false), false, "", {}},
               {edit(kPage, false), false, "e", {L"klavye: kapat"}},
               // Any window of a learned class with a context is text at once.
               {edit(kOther, true),
                false,
                "d",
                {OdakLine(kOther, kEdit, 1, 0, 0, 1, 0, 1), L"klavye: ac"}},
           });
}

TEST(MobileDecider, LosingTheFocusClearsTheStickyWindow) {
  mobile::Decider decider;
  decider.ime_classes.insert(kEdit);
  decider.Poll(Focus(kPage, kEdit, true), nullptr);
  EXPECT_EQ(decider.sticky_focus, kPage);
  decider.Poll(NoFocus(), nullptr);
  EXPECT_EQ(decider.sticky_focus, nullptr);
  // Back without a context: no longer a text entry, so the shown keyboard
  // keeps counting towards hiding.
  decider.Poll(Focus(kPage, kEdit), nullptr);
  EXPECT_EQ(decider.not_text_polls, 2);
}

TEST(MobileDecider, NoLearningAcrossWindowsOrWithoutFocus) {
  mobile::Decider decider;
  decider.Poll(Focus(kPage, kEdit, false), nullptr);
  decider.Poll(Focus(kOther, kEdit, true), nullptr);  // another window: not learned
  decider.Poll(NoFocus(), nullptr);
  decider.Poll(NoFocus(), nullptr);
  EXPECT_EQ(decider.ime_classes, std::set<std::wstring>{kMozilla});
}

TEST(MobileDecider, PredicateAskedOnlyForTheBrowserWindow) {
  mobile::Decider decider;
  g_page_asked = 0;
  g_page_answer = true;
  decider.Poll(Focus(kOther, kFlash, true, true), PageTextFocus);
  decider.Poll(Focus(kOther, kEdit, true, true), PageTextFocus);
  decider.Poll(NoFocus(true), PageTextFocus);
  EXPECT_EQ(g_page_asked, 0);
  decider.Poll(Focus(kPage, kMozilla), PageTextFocus);
  EXPECT_EQ(g_page_asked, 1);
}

TEST(MobileDecider, WithoutPredicateTheBrowserWindowFollowsTheOtherRules) {
  mobile::Decider decider;
  // The browser's class is trusted from the start: a context means text.
  const mobile::Decision got = decider.Poll(Focus(kPage, kMozilla, true), nullptr);
  EXPECT_EQ(got.bytes, "df");
  EXPECT_EQ(got.lines[0], OdakLine(kPage, kMozilla, 1, 0, 0, 1, 0, 1));
}

TEST(MobileDecider, StopHidesOnlyAShownKeyboard) {
  mobile::Decider decider;
  EXPECT_EQ(decider.Stop().bytes, "");
  decider.Poll(NoFocus(true), nullptr);
  const mobile::Decision stop = decider.Stop();
  EXPECT_EQ(stop.bytes, "e");
  EXPECT_TRUE(stop.lines.empty());
  decider.Poll(NoFocus(), nullptr);
  decider.Poll(NoFocus(), nullptr);
  decider.Poll(NoFocus(), nullptr);
  decider.Poll(NoFocus(), nullptr);
  EXPECT_EQ(decider.Stop().bytes, "");
}

// ---- datagrams --------------------------------------------------------------

class MobileDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    listener_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(listener_, INVALID_SOCKET);
    target_.sin_family = AF_INET;
    target_.sin_addr.s_addr = htonl(mobile::kLoopback);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&target_), sizeof(target_)), 0);
    int size = sizeof(target_);
    ASSERT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&target_), &size), 0);
    sender_ = mobile::OpenLoopbackSocket();  // the bridge's own kind of socket
    ASSERT_NE(sender_, INVALID_SOCKET);
    g_logged.clear();
  }

  void TearDown() override {
    if (sender_ != INVALID_SOCKET) closesocket(sender_);
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    WSACleanup();
  }

  // The datagrams that arrive within `wait_ms`, each as one string.
  std::vector<std::string> Received(int wait_ms) {
    std::vector<std::string> got;
    for (;;) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(listener_, &set);
      timeval limit = {0, wait_ms * 1000};
      if (select(0, &set, nullptr, nullptr, &limit) != 1) return got;
      char buffer[16];
      const int n = recv(listener_, buffer, sizeof(buffer), 0);
      if (n < 0) return got;
      got.emplace_back(buffer, n);
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET sender_ = INVALID_SOCKET;
  sockaddr_in target_ = {};
};

TEST_F(MobileDelivery, EachByteIsOneDatagram) {
  mobile::Decision decision;
  decision.bytes = "dg";
  decision.lines = {L"klavye: ac", L"dokunmatik: oyun"};
  mobile::Deliver(decision, CaptureLog, sender_, target_);
  EXPECT_EQ(Received(500), (std::vector<std::string>{"d", "g"}));
  EXPECT_EQ(g_logged, (Lines{L"klavye: ac", L"dokunmatik: oyun"}));
  // Sent from 127.0.0.1, where nothing from the network reaches the socket.
  sockaddr_in local = {};
  int size = sizeof(local);
  ASSERT_EQ(getsockname(sender_, reinterpret_cast<sockaddr*>(&local), &size), 0);
  EXPECT_EQ(ntohl(local.sin_addr.s_addr), mobile::kLoopback);
}

TEST_F(MobileDelivery, WithoutSocketSameStateAndLinesButNothingSent) {
  const std::vector<mobile::Sample> polls = {
      NoFocus(true), Focus(kOther, kFlash), NoFocus(), NoFocus(), NoFocus(), NoFocus()};
  mobile::Decider with_socket;
  mobile::Decider without_socket;
  for (const mobile::Sample& sample : polls) {
    mobile::Deliver(with_socket.Poll(sample, nullptr), CaptureLog, sender_, target_);
  }
  const Lines logged_with_socket = g_logged;
  EXPECT_EQ(Received(500), (std::vector<std::string>{"d", "g", "e"}));

  g_logged.clear();
  for (const mobile::Sample& sample : polls) {
    mobile::Deliver(without_socket.Poll(sample, nullptr), CaptureLog, INVALID_SOCKET, target_);
  }
  EXPECT_EQ(g_logged, logged_with_socket);
  EXPECT_EQ(logged_with_socket.size(), 6u);
  EXPECT_EQ(without_socket.touch_mode, with_socket.touch_mode);
  EXPECT_EQ(without_socket.last_text, with_socket.last_text);
  EXPECT_TRUE(Received(300).empty());
}

TEST_F(MobileDelivery, NoLogFunctionStillSends) {
  mobile::Decision decision;
  decision.bytes = "e";
  decision.lines = {L"klavye: kapat"};
  mobile::Deliver(decision, nullptr, sender_, target_);
  EXPECT_EQ(Received(500), std::vector<std::string>{"e"});
}

// ---- sampling the platform's focus ------------------------------------------

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND MakeWindow(const wchar_t* class_name, HWND parent) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = ProbeProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = class_name;
  RegisterClassExW(&wc);
  const DWORD style = parent ? WS_CHILD | WS_VISIBLE : WS_OVERLAPPEDWINDOW | WS_VISIBLE;
  return CreateWindowExW(0, class_name, L"mobile probe", style, 0, 0, 300, 200, parent, nullptr,
                         wc.hInstance, nullptr);
}

TEST(MobileSample, ReadsTheFocusWindowAndTheCaret) {
  HWND top = MakeWindow(L"TavrensilMobileProbeTop", nullptr);
  ASSERT_NE(top, nullptr);
  HWND game = MakeWindow(L"MacromediaFlashProbe", top);
  // A class name longer than the buffer comes back cut to 63 characters.
  const std::wstring long_name(70, L'x');
  HWND wide = MakeWindow(long_name.c_str(), top);
  ASSERT_NE(game, nullptr);
  ASSERT_NE(wide, nullptr);
  SetForegroundWindow(top);

  SetFocus(game);
  ASSERT_EQ(GetFocus(), game);
  mobile::Sample sample = mobile::SampleFocus();
  EXPECT_EQ(sample.focus, static_cast<const void*>(game));
  EXPECT_EQ(sample.class_name, L"MacromediaFlashProbe");
  EXPECT_FALSE(sample.caret);

  ASSERT_TRUE(CreateCaret(game, nullptr, 1, 10));
  EXPECT_TRUE(mobile::SampleFocus().caret);
  DestroyCaret();
  EXPECT_FALSE(mobile::SampleFocus().caret);

  SetFocus(wide);
  EXPECT_EQ(mobile::SampleFocus().class_name, long_name.substr(0, 63));

  SetFocus(nullptr);
  ASSERT_EQ(GetFocus(), nullptr);
  sample = mobile::SampleFocus();
  EXPECT_EQ(sample.focus, nullptr);
  EXPECT_FALSE(sample.ime);
  EXPECT_EQ(sample.class_name, L"");

  DestroyWindow(top);
}

}  // namespace
