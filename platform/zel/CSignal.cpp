#include "zel/CSignal.h"

#include <chrono>

namespace zel {

void CSignal::set() {
  std::lock_guard<std::mutex> lock(mutex);
  signalled = true;
  changed.notify_all();
}

void CSignal::reset() {
  std::lock_guard<std::mutex> lock(mutex);
  signalled = false;
}

bool CSignal::isSet() const {
  std::lock_guard<std::mutex> lock(mutex);
  return signalled;
}

bool CSignal::wait(int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex);
  if (timeoutMs < 0) {
    changed.wait(lock, [this] { return signalled; });
    return true;
  }
  return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled; });
}

}  // namespace zel
