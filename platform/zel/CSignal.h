#pragma once

#include <condition_variable>
#include <mutex>

#include "zel/CBase.h"

namespace zel {

// A manual-reset event: once set it stays set, releasing every waiter, until reset.
// Thread-safe.
class CSignal final : public CBase {
 public:
  explicit CSignal(bool initiallySet = false) : signalled(initiallySet) {}

  void set();
  void reset();
  bool isSet() const;
  // Waits up to timeoutMs milliseconds (-1: no limit, 0: just test). False on time-out.
  bool wait(int timeoutMs) const;

 private:
  mutable std::mutex mutex;  // guards signalled
  mutable std::condition_variable changed;
  bool signalled;
};

}  // namespace zel
