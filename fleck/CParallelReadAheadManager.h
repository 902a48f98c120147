#pragma once

#include <cstdint>

#include "zel/CBase.h"
#include "zel/CError.h"
#include "zel/CMutex.h"
#include "zel/CSemaphore.h"
#include "zel/CSignal.h"
#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TMap.h"

namespace fleck {

// Where one reader and a fixed number of read threads meet. The threads ask for fleck
// indexes (ascending, from the reader's current fleck on), read them and store the
// results; the reader takes the results in the order it asks for them. A semaphore
// with one unit per thread bounds how far reading runs ahead: claimed plus ready
// results never outnumber the threads. Asking for any fleck other than the next one
// drops everything read ahead and restarts there. signalStop ends it all for good.
//
// Threads: one reader (getFleckData, signalStop) and the read threads
// (nextFleckIndexForReadAhead, storeReadAheadResult). `mutex` guards every member but
// the semaphore; it is re-entrant because getFleckData seeks under the lock. Waits
// reset their signal under the lock and only then release it, so a set by another
// thread cannot be lost in between. The owner calls signalStop before the last
// reference goes.
class CParallelReadAheadManager : public zel::CBase {
 public:
  // The outcome of reading one fleck. Both null: a read thread has claimed the index
  // and is reading it. Either set: ready.
  struct Result {
    zel::P<zel::TBuffer<unsigned char>> data;
    zel::P<zel::CError> error;
  };

  // threadCount must be at least 1 (zel::CInvalidArgError otherwise).
  CParallelReadAheadManager(std::int64_t fleckCount, int threadCount);
  ~CParallelReadAheadManager() override;
  CParallelReadAheadManager(const CParallelReadAheadManager&) = delete;
  CParallelReadAheadManager& operator=(const CParallelReadAheadManager&) = delete;

  // For read threads: the next index to read, waiting for a free unit and for work;
  // -1 when the thread is to end.
  std::int64_t nextFleckIndexForReadAhead();
  // For read threads: the outcome of reading `index` (exactly one of data and error).
  // The manager keeps counted references to both, so they are heap objects. Dropped
  // when the index was discarded meanwhile. Never blocks beyond the lock.
  void storeReadAheadResult(std::int64_t index, zel::TBuffer<unsigned char>* data,
                            zel::CError* error);
  // For the reader: the payload of fleck `index` (below the fleck count), waiting for
  // it; throws a copy of the error a read thread met for it (reading then goes on with
  // the next fleck). zel::CInvalidArgError for a negative index; zel::CError after stop.
  zel::P<zel::TBuffer<unsigned char>> getFleckData(std::int64_t index);
  // Ends reading ahead for good and wakes every waiter.
  void signalStop();

  // Claimed plus ready results right now (never more than the threads); for tests and
  // diagnostics.
  int getOutstandingCount();

 protected:
  void seekToFleck(std::int64_t index);
  // Discards every entry and gives back its unit (the lock is held).
  void clearResultMap();

 private:
  // Resets `signal`, waits for it without the lock, and takes the lock again.
  void waitUnlocked(zel::CSignal& signal);

  zel::CMutex mutex;
  const std::int64_t fleckCount;
  const zel::P<zel::CSignal> resultSignal;
  const zel::P<zel::CSignal> workSignal;
  const zel::P<zel::CSemaphore> semaphore;  // thread-safe itself; taken outside the lock
  zel::TMap<std::int64_t, Result> results;
  std::int64_t nextIndex = 0;  // -1: stop was signalled
  std::int64_t readIndex = 0;
};

}  // namespace fleck
