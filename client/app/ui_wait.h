// Waiting on the UI thread without freezing the window: the thread's
// messages are dispatched while it waits, as during a message box.
#pragma once

#include <windows.h>

class HttpClient;

enum class UiWaitResult {
  kSignalled,  // the event was set (or there was none to wait for)
  kTimedOut,
  kClosed,  // the quit message came: the caller ends what it was doing
};

// Waits up to `timeout_ms` for `event` (null counts as set), dispatching
// every message of the thread meanwhile. The quit message ends the wait and
// is posted again for the message loop. The caller keeps its own re-entry
// guard (a nested F5 must find the client busy).
UiWaitResult WaitPumping(HANDLE event, DWORD timeout_ms);

// Waits, pumping, for the route to the site of `http` (PrepareRoute), at
// most what is left of kRouteWaitMs since its first lookup: when it
// returns kSignalled or kTimedOut the next request does not wait for the
// route, so the UI thread never waits for one without pumping. Call before
// a request made on the UI thread.
UiWaitResult WaitForRoute(HttpClient& http);
