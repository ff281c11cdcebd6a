#include "app/anticheat.h"

// The monitor has no detections yet: the check passes and watching is a
// no-op, but the calls stand where the program makes them.

bool AntiCheatStartupCheck(HttpClient*, int) { return true; }

void StartAntiCheat(HWND, const GameSession*, int) {}

void StopAntiCheat() {}
