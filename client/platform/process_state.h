// Whether another process still runs, for files and folders named after
// the process that owns them.
#pragma once

#include <windows.h>

#include "platform/scoped_win.h"

// Whether the process `process_id` still runs (or cannot be asked, which
// is taken as running: its files are left alone).
inline bool ProcessRuns(DWORD process_id) {
  const ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, process_id));
  if (!process.valid()) return GetLastError() == ERROR_ACCESS_DENIED;
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}
