#include "zel/CMutex.h"

#include <cstdio>
#include <cstdlib>

#include "zel/CError.h"

namespace zel {

void CMutex::lock() {
  std::unique_lock<std::mutex> guard(state);
  const auto self = std::this_thread::get_id();
  if (depth > 0 && owner == self) {
    ++depth;
    return;
  }
  freed.wait(guard, [this] { return depth == 0; });
  owner = self;
  depth = 1;
}

bool CMutex::tryLock() {
  std::lock_guard<std::mutex> guard(state);
  const auto self = std::this_thread::get_id();
  if (depth > 0 && owner != self) return false;
  owner = self;
  ++depth;
  return true;
}

void CMutex::unlock() noexcept {
  std::lock_guard<std::mutex> guard(state);
  if (depth == 0 || owner != std::this_thread::get_id()) {
    // Unlocking runs in destructors (CMutexLock), which must not throw; this is a
    // programming error that would corrupt every later lock.
    std::fprintf(stderr, "zel::CMutex: unlocked by a thread that does not hold it\n");
    std::abort();
  }
  if (--depth == 0) {
    owner = std::thread::id();
    freed.notify_one();
  }
}

bool CMutex::isHeldByCurrentThread() const {
  std::lock_guard<std::mutex> guard(state);
  return depth > 0 && owner == std::this_thread::get_id();
}

int CMutex::unlockAll() {
  std::lock_guard<std::mutex> guard(state);
  if (depth == 0 || owner != std::this_thread::get_id()) {
    throw CError("INTERNAL ERROR: CMutexUnlock on a mutex the thread does not hold");
  }
  const int held = depth;
  depth = 0;
  owner = std::thread::id();
  freed.notify_one();
  return held;
}

void CMutex::relock(int levels) {
  std::unique_lock<std::mutex> guard(state);
  freed.wait(guard, [this] { return depth == 0; });
  owner = std::this_thread::get_id();
  depth = levels;
}

}  // namespace zel
