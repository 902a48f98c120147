#pragma once

#include <cstdint>

namespace fleck::bench {

// Heap accounting for the benchmark binary, which replaces the global operator new and
// delete (every form) and installs counting allocation functions in OpenSSL.
//
// Counts are per thread, so that a benchmark counts only what its own thread does
// between two readings, whatever the file system's completion threads do meanwhile.
// Live and peak bytes are for the whole process (every thread), in usable bytes as
// malloc reports them; memory that libraries take from malloc directly (liblzma, libc)
// is not seen.
//
// Every function may be called from any thread.

struct AllocationCounts {
  std::uint64_t cxx = 0;      // calls of operator new, any form
  std::uint64_t openssl = 0;  // calls of OpenSSL's malloc and realloc
};

// The calling thread's counts since it started.
AllocationCounts threadAllocationCounts() noexcept;

// True when OpenSSL took our allocation functions. It refuses them once it has
// allocated anything; then the openssl counts stay 0 and mean nothing.
bool isCountingOpenSSL() noexcept;

// Bytes allocated through operator new or OpenSSL and not freed yet, all threads.
std::int64_t liveHeapBytes() noexcept;
// The highest liveHeapBytes since the last resetPeakHeapBytes (or the start).
std::int64_t peakHeapBytes() noexcept;
// Starts a new peak at the current live bytes.
void resetPeakHeapBytes() noexcept;

}  // namespace fleck::bench
