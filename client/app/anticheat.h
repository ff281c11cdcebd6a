// The anti-cheat monitor: guards the game against prohibited tools.
#pragma once

#include <windows.h>

class GameSession;
class HttpClient;

// The check made before any window exists. True when nothing prohibited was
// found; on false the caller ends the process with exit code 1.
bool AntiCheatStartupCheck(HttpClient* http, int build);

// Starts watching for the rest of the run. The session values are read
// through `session` (GameSession::Values), so later values are seen; the
// session outlives the monitor.
void StartAntiCheat(HWND window, const GameSession* session, int build);

// Stops watching; safe when it was never started.
void StopAntiCheat();
