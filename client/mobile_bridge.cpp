#include "mobile_bridge.h"

// The companion bridge is not built yet: mobile mode runs without it.

namespace mobile {

void Start(HWND, LogFunction, TextFocusFunction) {}

void OnTimer(HWND) {}

void Stop(HWND) {}

}  // namespace mobile
