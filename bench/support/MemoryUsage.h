#pragma once

#include <cstdint>

namespace fleck::bench {

// The resident set of this process, from /proc/self/status, in bytes: now (VmRSS) and
// its high-water mark (VmHWM). -1 when the value cannot be read.
std::int64_t residentBytes();
std::int64_t peakResidentBytes();

// Hands free heap memory back to the system (malloc_trim), so that what follows has to
// fault its memory in again, and resets the high-water mark to the current resident
// set (writing "5" to /proc/self/clear_refs, Linux 4.0 and later). False when the
// kernel refuses the reset; the mark then still holds the process's earlier peak.
bool trimAndResetPeakResident();

}  // namespace fleck::bench
