// The diagnostic log, client.log next to the executable: one line per call,
// UTF-8, written by the shell, the session and every module handed Log.
#pragma once

#include <string>

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
