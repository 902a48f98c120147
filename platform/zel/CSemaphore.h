#pragma once

#include <condition_variable>
#include <mutex>

#include "zel/CBase.h"

namespace zel {

// A counting semaphore. Thread-safe.
class CSemaphore final : public CBase {
 public:
  explicit CSemaphore(int units) : units(units) {}

  // Takes one unit, waiting up to timeoutMs milliseconds (-1: no limit) for one to be
  // free. False on time-out.
  bool take(int timeoutMs = -1);
  // Gives `count` units back. Throws zel::CInvalidArgError for a negative count,
  // which would take units without waiting for them.
  void give(int count = 1);
  // Free units right now; for tests and diagnostics.
  int getFreeUnits() const;

 private:
  mutable std::mutex mutex;  // guards units
  std::condition_variable available;
  int units;
};

}  // namespace zel
