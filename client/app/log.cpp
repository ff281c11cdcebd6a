#include "app/log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "platform/scoped_win.h"
#include "platform/utf.h"

namespace {

const size_t kMaxLogLineChars = 1 << 20;

// The open log and the lock that keeps lines from two threads whole. It
// lives for the whole process: threads may log until the very end.
struct LogFile {
  FILE* stream = nullptr;
  SRWLOCK lock = SRWLOCK_INIT;
};

LogFile& TheLog() {
  static LogFile* log = new LogFile;  // never destroyed: see above
  return *log;
}

// printf-style formatting into a wide string of any length (up to 1 Mi
// characters; a longer line is cut there).
std::wstring FormatWide(const wchar_t* format, va_list args) {
  std::wstring text(256, L'\0');
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int n = vswprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return text;
    }
    if (text.size() >= kMaxLogLineChars) return text.substr(0, wcsnlen(text.c_str(), text.size()));
    text.assign(text.size() * 2, L'\0');
  }
}

}  // namespace

void KeepLastLog(const std::wstring& folder) {
  MoveFileExW((folder + L"\\client.log").c_str(), (folder + L"\\client.old.log").c_str(),
              MOVEFILE_REPLACE_EXISTING);
}

bool OpenLog(const std::wstring& path) {
  LogFile& log = TheLog();
  const ScopedSrwLock locked(&log.lock);
  if (log.stream) fclose(log.stream);
  log.stream = _wfopen(path.c_str(), L"w");
  return log.stream != nullptr;
}

std::wstring EscapeLineBreaks(const std::wstring& line) {
  std::wstring out;
  out.reserve(line.size());
  for (const wchar_t ch : line) {
    if (ch == L'\r') {
      out += L"\\r";
    } else if (ch == L'\n') {
      out += L"\\n";
    } else {
      out += ch;
    }
  }
  return out;
}

void Log(const wchar_t* format, ...) {
  LogFile& log = TheLog();
  if (!log.stream) return;
  va_list args;
  va_start(args, format);
  const std::string line = WideToUtf8(EscapeLineBreaks(FormatWide(format, args)));
  va_end(args);
  // One lock around the three stream calls keeps lines from two threads
  // whole instead of interleaved. The stream is in text mode: the line
  // feed goes out as CR LF, as the log has always ended its lines.
  const ScopedSrwLock locked(&log.lock);
  if (log.stream) {
    fwrite(line.data(), 1, line.size(), log.stream);
    fputc('\n', log.stream);
    fflush(log.stream);
  }
}
