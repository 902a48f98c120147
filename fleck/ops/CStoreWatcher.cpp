#include "fleck/ops/CStoreWatcher.h"

#include "fleck/ops/COperationError.h"

namespace fleck::ops {

void CStoreWatcher::onDone(const zel::CError* error) {
  // Formatted before the lock: the error is valid only during this call.
  const std::string text = error != nullptr ? COperationError::describe(*error) : std::string();
  zel::CMutexLock lock(mutex);
  ++ended;
  if (error != nullptr) {
    if (failed == 0) firstFailure = text;
    ++failed;
  }
}

std::int64_t CStoreWatcher::getEnded() const {
  zel::CMutexLock lock(mutex);
  return ended;
}

std::int64_t CStoreWatcher::getFailed() const {
  zel::CMutexLock lock(mutex);
  return failed;
}

std::string CStoreWatcher::getFirstFailure() const {
  zel::CMutexLock lock(mutex);
  return firstFailure;
}

}  // namespace fleck::ops
