// The anti-cheat monitor: guards the game against prohibited tools.
#pragma once

#include <windows.h>

#include <string>

class HttpClient;

// The check made before any window exists. True when nothing prohibited was
// found; on false the caller ends the process with exit code 1.
bool AntiCheatStartupCheck(HttpClient* http, int build);

// Starts watching for the rest of the run. The session strings are read
// through their addresses, so later values are seen.
void StartAntiCheat(HWND window, HttpClient* http, const std::string* shard,
                    const std::string* csid, const std::string* token, int build);

// Stops watching; safe when it was never started.
void StopAntiCheat();
