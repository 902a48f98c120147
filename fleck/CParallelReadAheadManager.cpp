#include "fleck/CParallelReadAheadManager.h"

#include "zel/CInvalidArgError.h"

namespace fleck {

CParallelReadAheadManager::CParallelReadAheadManager(std::int64_t fleckCount, int threadCount)
    : fleckCount(fleckCount),
      resultSignal(zel::make<zel::CSignal>()),
      workSignal(zel::make<zel::CSignal>()),
      semaphore(zel::make<zel::CSemaphore>(threadCount)) {
  if (threadCount < 1) {
    throw zel::CInvalidArgError("CParallelReadAheadManager::CParallelReadAheadManager",
                                "threadCount must be at least 1",
                                zel::CProps().add("threadCount", threadCount));
  }
}

CParallelReadAheadManager::~CParallelReadAheadManager() = default;

void CParallelReadAheadManager::waitUnlocked(zel::CSignal& signal) {
  signal.reset();
  zel::CMutexUnlock unlock(mutex);
  signal.wait(-1);
}

std::int64_t CParallelReadAheadManager::nextFleckIndexForReadAhead() {
  // The unit is taken without the lock: a thread waiting for one holds nothing.
  semaphore->take(-1);
  zel::CMutexLock lock(mutex);
  for (;;) {
    if (nextIndex == -1) {
      // Passing the unit on wakes the next thread blocked on the semaphore.
      semaphore->give(1);
      return -1;
    }
    if (nextIndex < fleckCount) {
      const std::int64_t index = nextIndex++;
      results.put(index, Result());  // claimed
      return index;
    }
    // Everything up to the end is handed out; wait for a jump or the stop, still
    // holding the unit.
    waitUnlocked(*workSignal);
  }
}

void CParallelReadAheadManager::storeReadAheadResult(std::int64_t index,
                                                     zel::TBuffer<unsigned char>* data,
                                                     zel::CError* error) {
  zel::CMutexLock lock(mutex);
  Result* entry = results.lookup(index);
  if (entry == nullptr || entry->data != nullptr || entry->error != nullptr) return;
  entry->data = data;
  entry->error = error;
  resultSignal->set();
}

zel::P<zel::TBuffer<unsigned char>> CParallelReadAheadManager::getFleckData(std::int64_t index) {
  zel::CMutexLock lock(mutex);
  if (index != readIndex) seekToFleck(index);
  Result* entry;
  for (;;) {
    entry = results.lookup(index);
    if (entry != nullptr && (entry->data != nullptr || entry->error != nullptr)) break;
    if (nextIndex == -1) {
      throw zel::CError(
          "CParallelReadAheadManager::getFleckData called after stop has been signalled.");
    }
    waitUnlocked(*resultSignal);
  }
  const Result result = *entry;
  results.erase(index);
  semaphore->give(1);
  ++readIndex;
  if (result.error != nullptr) result.error->throwClone();
  return result.data;
}

void CParallelReadAheadManager::seekToFleck(std::int64_t index) {
  zel::CMutexLock lock(mutex);
  if (index < 0) {
    throw zel::CInvalidArgError("CParallelReadAheadManager::seekToFleck", "fleckIndex is invalid",
                                zel::CProps().add("fleckIndex", index));
  }
  if (nextIndex == -1) {
    throw zel::CError(
        "Internal error: CParallelReadAheadManager::seekToFleck called after stop has been "
        "signalled",
        zel::String(), -1, zel::CProps().add("fleckIndex", index));
  }
  if (index != readIndex) {
    readIndex = index;
    nextIndex = index;
    clearResultMap();
  }
  workSignal->set();
}

void CParallelReadAheadManager::clearResultMap() {
  // Claimed entries go too: their thread finds no entry when it stores and drops its
  // result.
  const auto count = static_cast<int>(results.size());
  results.clear();
  if (count > 0) semaphore->give(count);
}

int CParallelReadAheadManager::getOutstandingCount() {
  zel::CMutexLock lock(mutex);
  return static_cast<int>(results.size());
}

void CParallelReadAheadManager::signalStop() {
  zel::CMutexLock lock(mutex);
  nextIndex = -1;
  clearResultMap();
  workSignal->set();
  resultSignal->set();
}

}  // namespace fleck
