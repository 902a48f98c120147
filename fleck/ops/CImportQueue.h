#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "zel/CBase.h"
#include "zel/CError.h"
#include "zel/CMemPool.h"
#include "zel/P.h"

namespace fleck::ops {

// Hands flecks read from an image to the preparing threads (jobs, first come first
// served) and their outcomes back to the storing thread (results, taken in index
// order whatever order they were finished in).
//
// Thread-safe: one mutex guards both sides; waiting callers are woken by close,
// abort and every new job or result.
class CImportQueue final : public zel::CBase {
 public:
  // What to do with a fleck.
  enum class Action {
    Skip,             // the disk reads this content there already
    StoreRecord,      // store the prepared record
    StoreZeroRecord,  // store the record of an all-zero fleck (a parent holds data there)
    RemoveFile,       // remove the disk's file: the chain below it reads zeros
  };

  struct Job {
    std::int64_t index = -1;
    // The fleck's bytes, a whole fleck; null when the worker reads them from the image
    // itself (a source that reads at any position; a whole fleck of it).
    zel::P<zel::CMemPoolBuffer> payload;
  };

  struct Result {
    std::int64_t index = -1;
    Action action = Action::Skip;
    bool allZero = false;
    zel::P<zel::CMemPoolBuffer> record;  // StoreRecord only
    zel::P<zel::CError> error;           // preparing failed; the import fails there
  };

  CImportQueue() = default;
  CImportQueue(const CImportQueue&) = delete;
  CImportQueue& operator=(const CImportQueue&) = delete;

  void push(Job job);
  // The next jobs, at most `most` (at least 1), waiting for one; false once the queue
  // is closed and empty, or aborted.
  bool popSome(std::vector<Job>& into, std::size_t most);
  void deliver(Result result);
  // The result of fleck `index`, waiting for it; false when aborted.
  bool take(std::int64_t index, Result& result);
  // No more jobs will come; the threads end when they have done the queued ones.
  void close();
  // Drops the queued jobs and wakes every waiter: the import is over.
  void abort();

 private:
  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  std::deque<Job> jobs;
  std::map<std::int64_t, Result> results;
  bool closed = false;
  bool aborted = false;
};

}  // namespace fleck::ops
