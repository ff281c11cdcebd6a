#include "app/process_steps.h"

#include <avrt.h>
#include <ole2.h>
#include <timeapi.h>

#include "platform/system_libraries.h"

namespace {

// The scheduling functions of winmm.dll and avrt.dll, from the system folder.
struct SchedulingFunctions {
  decltype(&::timeBeginPeriod) timeBeginPeriod;
  decltype(&::timeEndPeriod) timeEndPeriod;
  decltype(&::AvSetMmThreadCharacteristicsW) AvSetMmThreadCharacteristicsW;
  decltype(&::AvRevertMmThreadCharacteristics) AvRevertMmThreadCharacteristics;
};

const SchedulingFunctions& Scheduling() {
  static const SchedulingFunctions table = [] {
    const HMODULE winmm = LoadSystemLibrary(L"winmm.dll");
    const HMODULE avrt = LoadSystemLibrary(L"avrt.dll");
    SchedulingFunctions t;
    BIND_SYSTEM_FUNCTION(t, winmm, timeBeginPeriod);
    BIND_SYSTEM_FUNCTION(t, winmm, timeEndPeriod);
    BIND_SYSTEM_FUNCTION(t, avrt, AvSetMmThreadCharacteristicsW);
    BIND_SYSTEM_FUNCTION(t, avrt, AvRevertMmThreadCharacteristics);
    return t;
  }();
  return table;
}

}  // namespace

ScopedTimerResolution::ScopedTimerResolution() { Scheduling().timeBeginPeriod(1); }

ScopedTimerResolution::~ScopedTimerResolution() { Scheduling().timeEndPeriod(1); }

ScopedOle::ScopedOle() : ok_(SUCCEEDED(OleInitialize(nullptr))) {}

ScopedOle::~ScopedOle() {
  if (ok_) OleUninitialize();
}

ScopedMmcss::ScopedMmcss() {
  DWORD task_index = 0;
  handle_ = Scheduling().AvSetMmThreadCharacteristicsW(L"Games", &task_index);
}

ScopedMmcss::~ScopedMmcss() {
  if (handle_) Scheduling().AvRevertMmThreadCharacteristics(handle_);
}
