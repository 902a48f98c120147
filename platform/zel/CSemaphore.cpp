#include "zel/CSemaphore.h"

#include <chrono>

#include "zel/CInvalidArgError.h"

namespace zel {

bool CSemaphore::take(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex);
  auto free = [this] { return units > 0; };
  if (timeoutMs < 0) {
    available.wait(lock, free);
  } else if (!available.wait_for(lock, std::chrono::milliseconds(timeoutMs), free)) {
    return false;
  }
  --units;
  return true;
}

void CSemaphore::give(int count) {
  if (count < 0) {
    throw CInvalidArgError("zel::CSemaphore::give", "negative unit count",
                           CProps().add("count", count));
  }
  std::lock_guard<std::mutex> lock(mutex);
  units += count;
  if (count == 1)
    available.notify_one();
  else
    available.notify_all();
}

int CSemaphore::getFreeUnits() const {
  std::lock_guard<std::mutex> lock(mutex);
  return units;
}

}  // namespace zel
