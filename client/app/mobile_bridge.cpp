#include "app/mobile_bridge.h"

#include <imm.h>

#include <cstdarg>
#include <cwchar>

namespace mobile {

const wchar_t kBrowserClass[] = L"MozillaWindowClass";

namespace {

// The game movie's windows all have classes starting with this.
const wchar_t kGamePrefix[] = L"MacromediaFlash";
const size_t kGamePrefixLength = 15;
// The keyboard hides after more than this many polls without text (600 ms),
// which rides out a focus that hops between windows.
const int kHideAfterPolls = 3;
// The touch mode is sent again after more than this many polls (3 s), in
// case a datagram was lost.
const int kResendAfterPolls = 19;

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[256];
  va_list args;
  va_start(args, format);
  const int n = _vsnwprintf(buffer, 255, format, args);
  va_end(args);
  buffer[255] = L'\0';
  return n < 0 ? std::wstring(buffer) : std::wstring(buffer, static_cast<size_t>(n));
}

}  // namespace

Decision Decider::Poll(const Sample& sample, const TextFocusFunction& web_text_focus) {
  Decision out;
  Learn(sample);
  const bool trusted = ime_classes.count(sample.class_name) > 0;
  if (sticky_focus && sticky_focus != sample.focus) sticky_focus = nullptr;
  const Verdict verdict = Classify(sample, trusted, web_text_focus);
  if (sample.focus != last_focus || sample.ime != last_ime || sample.caret != last_caret ||
      verdict.dom != last_dom) {
    out.lines.push_back(
        Format(L"odak: %p [%ls] ime=%d caret=%d dom=%d ime_guvenilir=%d yapiskan=%d -> yazi=%d",
               sample.focus, sample.class_name.c_str(), sample.ime, sample.caret, verdict.dom,
               trusted, verdict.sticky, verdict.text));
  }
  last_dom = verdict.dom;
  Keyboard(verdict.text, out);
  TouchMode(sample.class_name, out);
  last_focus = sample.focus;
  last_ime = sample.ime;
  last_caret = sample.caret;
  return out;
}

Decision Decider::Stop() const {
  Decision out;
  if (last_text) out.bytes += kHideKeyboard;
  return out;
}

// A window whose input-method context comes or goes while it keeps the
// focus is a text entry that switches its input method on and off: from
// then on its context is trusted.
void Decider::Learn(const Sample& sample) {
  if (sample.focus && sample.focus == last_focus && sample.ime != last_ime) {
    ime_classes.insert(sample.class_name);
  }
}

Decider::Verdict Decider::Classify(const Sample& sample, bool trusted,
                                   const TextFocusFunction& web_text_focus) {
  Verdict verdict;
  if (web_text_focus && sample.class_name == kBrowserClass) {
    // The page knows best; its window keeps a context and caret regardless.
    verdict.dom = web_text_focus();
    verdict.text = verdict.dom;
  } else if (sample.ime && trusted) {
    verdict.text = true;
    sticky_focus = sample.focus;
  } else if (sample.caret) {
    verdict.text = true;
  } else if (sample.focus && sample.focus == sticky_focus) {
    // Some entries drop their context while still taking text.
    verdict.text = true;
    verdict.sticky = true;
  }
  return verdict;
}

void Decider::Keyboard(bool text, Decision& out) {
  if (text) {
    not_text_polls = 0;
    if (last_text) return;
    out.bytes += kShowKeyboard;
    out.lines.push_back(Format(L"klavye: %ls", L"ac"));
    last_text = true;
    return;
  }
  if (!last_text || ++not_text_polls <= kHideAfterPolls) return;
  out.bytes += kHideKeyboard;
  out.lines.push_back(Format(L"klavye: %ls", L"kapat"));
  not_text_polls = 0;
  last_text = false;
}

void Decider::TouchMode(const std::wstring& class_name, Decision& out) {
  const wchar_t* name = nullptr;
  char mode = 0;
  if (class_name.compare(0, kGamePrefixLength, kGamePrefix) == 0) {
    mode = kTouchGame;
    name = L"oyun";
  } else if (class_name == kBrowserClass) {
    mode = kTouchWeb;
    name = L"web";
  } else {
    return;  // other windows leave the mode and its repeat count alone
  }
  if (mode != touch_mode) {
    out.lines.push_back(Format(L"dokunmatik: %ls", name));
    out.bytes += mode;
    touch_mode = mode;
    resend_ticks = 0;
  } else if (++resend_ticks > kResendAfterPolls) {
    out.bytes += mode;
    resend_ticks = 0;
  }
}

Sample SampleFocus() {
  Sample sample;
  HWND focus = GetFocus();
  sample.focus = focus;
  if (focus) {
    HIMC context = ImmGetContext(focus);
    sample.ime = context != nullptr;
    if (context) ImmReleaseContext(focus, context);
    wchar_t name[kClassNameChars] = {};
    GetClassNameW(focus, name, kClassNameChars);
    sample.class_name = name;
  }
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  sample.caret = GetGUIThreadInfo(GetCurrentThreadId(), &info) && info.hwndCaret != nullptr;
  return sample;
}

void Deliver(const Decision& decision, LogFunction log, SOCKET socket, const sockaddr_in& target) {
  if (log) {
    for (const std::wstring& line : decision.lines) log(L"%ls", line.c_str());
  }
  if (socket == INVALID_SOCKET) return;
  for (const char byte : decision.bytes) {
    sendto(socket, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&target), sizeof(target));
  }
}

SOCKET OpenLoopbackSocket() {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return s;
  // Bound before the first send, or the platform binds it to every address
  // and anyone on the network could send to it.
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(kLoopback);
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

Bridge::~Bridge() {
  if (socket_ == INVALID_SOCKET) return;
  closesocket(socket_);
  WSACleanup();
}

void Bridge::Start(HWND window, LogFunction log, TextFocusFunction web_text_focus) {
  log_ = log;
  web_text_focus_ = web_text_focus;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) == 0) {
    socket_ = OpenLoopbackSocket();
    target_.sin_family = AF_INET;
    target_.sin_port = htons(kCompanionPort);
    target_.sin_addr.s_addr = htonl(kLoopback);
  }
  if (log_) log_(L"mobil kopru: soket=%ls", socket_ != INVALID_SOCKET ? L"ok" : L"yok");
  SetTimer(window, kTimerId, kPollMs, nullptr);
}

void Bridge::OnTimer() {
  Deliver(decider_.Poll(SampleFocus(), web_text_focus_), log_, socket_, target_);
}

void Bridge::Stop(HWND window) {
  KillTimer(window, kTimerId);
  if (socket_ == INVALID_SOCKET) return;
  Deliver(decider_.Stop(), nullptr, socket_, target_);
  closesocket(socket_);
  socket_ = INVALID_SOCKET;
  WSACleanup();
}

}  // namespace mobile
