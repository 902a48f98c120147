#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace zel {

// A re-entrant mutex: the thread that holds it may lock it again, and must unlock it
// as often. Not reference counted: it lives inside the object whose members it guards.
class CMutex {
 public:
  CMutex() = default;
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  void lock();
  bool tryLock();
  void unlock() noexcept;

  // True when the calling thread holds the mutex.
  bool isHeldByCurrentThread() const;

 private:
  friend class CMutexUnlock;
  // Gives up every level the calling thread holds and returns how many there were.
  int unlockAll();
  // Takes the mutex again with `depth` levels.
  void relock(int depth);

  mutable std::mutex state;  // guards owner and depth
  std::condition_variable freed;
  std::thread::id owner;
  int depth = 0;
};

// Holds a CMutex for a scope.
class CMutexLock {
 public:
  explicit CMutexLock(CMutex& mutex) : mutex(mutex) { mutex.lock(); }
  explicit CMutexLock(CMutex* mutex) : CMutexLock(*mutex) {}
  ~CMutexLock() { mutex.unlock(); }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

 private:
  CMutex& mutex;
};

// Releases a held CMutex for a scope (to wait without it) and takes it back, with the
// same depth, at the end. All levels are released, so a wait inside a nested lock
// does not keep the mutex.
class CMutexUnlock {
 public:
  explicit CMutexUnlock(CMutex& mutex) : mutex(mutex), depth(mutex.unlockAll()) {}
  ~CMutexUnlock() { mutex.relock(depth); }
  CMutexUnlock(const CMutexUnlock&) = delete;
  CMutexUnlock& operator=(const CMutexUnlock&) = delete;

 private:
  CMutex& mutex;
  int depth;
};

}  // namespace zel
