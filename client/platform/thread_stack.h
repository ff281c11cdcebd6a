// Stacks of the client's own threads. Windows gives a thread the stack it
// reserves (Wine gives at least 1 MiB, which hides a stack too small).
#pragma once

#include <windows.h>

// The part of a thread's stack kept for the report of a stack overflow on
// it: the crash filter logs its line and hands over to the dump writer.
constexpr ULONG kOverflowReserve = 64 * 1024;

// Keeps kOverflowReserve bytes of the calling thread's stack for the crash
// report; call it first in every thread of the client's own, whose
// reservation must hold this much more than its work needs.
inline void KeepStackForReport() {
  ULONG guarantee = kOverflowReserve;
  SetThreadStackGuarantee(&guarantee);
}
