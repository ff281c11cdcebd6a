#include "app/ui_wait.h"

#include "platform/http.h"

namespace {

// Dispatches what is queued; false when the quit message was among it
// (posted again).
bool DispatchQueued() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

}  // namespace

UiWaitResult WaitPumping(HANDLE event, DWORD timeout_ms) {
  const DWORD started = GetTickCount();
  for (;;) {
    if (!DispatchQueued()) return UiWaitResult::kClosed;
    if (!event || WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return UiWaitResult::kSignalled;
    const DWORD spent = GetTickCount() - started;
    if (spent >= timeout_ms) return UiWaitResult::kTimedOut;
    // Wakes for the event or for any message, queued before the call or not.
    MsgWaitForMultipleObjectsEx(1, &event, timeout_ms - spent, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

UiWaitResult WaitForRoute(HttpClient& http) {
  DWORD wait_ms = 0;
  const HANDLE route = http.PrepareRoute(&wait_ms);
  return WaitPumping(route, wait_ms);
}
