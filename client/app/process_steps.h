// The start-up steps of the process that need an undo, each undone exactly
// once, when its object goes: the timer resolution, OLE, and the media-thread
// registration. The scheduling functions come from the system folder.
#pragma once

#include <windows.h>

// The system timer at 1 ms while it lives.
class ScopedTimerResolution {
 public:
  ScopedTimerResolution();
  ~ScopedTimerResolution();
  ScopedTimerResolution(const ScopedTimerResolution&) = delete;
  ScopedTimerResolution& operator=(const ScopedTimerResolution&) = delete;
};

// OLE on the calling thread while it lives, when ok().
class ScopedOle {
 public:
  ScopedOle();
  ~ScopedOle();
  ScopedOle(const ScopedOle&) = delete;
  ScopedOle& operator=(const ScopedOle&) = delete;
  bool ok() const { return ok_; }

 private:
  const bool ok_;
};

// The calling thread registered as the media thread of a game.
class ScopedMmcss {
 public:
  ScopedMmcss();
  ~ScopedMmcss();
  ScopedMmcss(const ScopedMmcss&) = delete;
  ScopedMmcss& operator=(const ScopedMmcss&) = delete;
  bool registered() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};
