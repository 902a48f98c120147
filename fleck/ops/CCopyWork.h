#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fleck/ops/CCopyPlan.h"
#include "zel/CBase.h"
#include "zel/CURI.h"

namespace fleck::ops {

// The fleck files a copy handles, shared by its threads: hands out the files to copy
// and the stale ones to delete one by one, counts what was done and collects failures.
//
// Thread-safe: the lists are read-only after construction, the positions and counts
// are atomic, the failure list has a mutex.
class CCopyWork final : public zel::CBase {
 public:
  CCopyWork(std::vector<CCopyPlan::File> files, std::vector<zel::CURI> stale);
  CCopyWork(const CCopyWork&) = delete;
  CCopyWork& operator=(const CCopyWork&) = delete;

  // The next file to copy (or to delete), or null when all were handed out.
  const CCopyPlan::File* nextFile();
  const zel::CURI* nextStale();

  void addCopied(std::int64_t bytesWritten) {
    copied.fetch_add(1, std::memory_order_relaxed);
    written.fetch_add(bytesWritten, std::memory_order_relaxed);
  }
  void addSkipped() { skipped.fetch_add(1, std::memory_order_relaxed); }
  void addDeleted() { deleted.fetch_add(1, std::memory_order_relaxed); }
  void addDropped() { dropped.fetch_add(1, std::memory_order_relaxed); }
  void addRead(std::int64_t bytes) { read.fetch_add(bytes, std::memory_order_relaxed); }
  // Source bytes handled (copied or found unchanged), for progress.
  void addDone(std::int64_t bytes) { done.fetch_add(bytes, std::memory_order_relaxed); }
  // A sentence that names the file.
  void addFailure(std::string failure);

  std::int64_t getCopied() const { return copied.load(std::memory_order_relaxed); }
  std::int64_t getSkipped() const { return skipped.load(std::memory_order_relaxed); }
  std::int64_t getDeleted() const { return deleted.load(std::memory_order_relaxed); }
  std::int64_t getDropped() const { return dropped.load(std::memory_order_relaxed); }
  std::int64_t getBytesWritten() const { return written.load(std::memory_order_relaxed); }
  std::int64_t getBytesRead() const { return read.load(std::memory_order_relaxed); }
  std::int64_t getBytesDone() const { return done.load(std::memory_order_relaxed); }
  // The failures so far, sorted; call once the threads have ended.
  std::vector<std::string> takeFailures();

 private:
  const std::vector<CCopyPlan::File> files;
  const std::vector<zel::CURI> stale;
  std::atomic<std::size_t> nextFileAt{0};
  std::atomic<std::size_t> nextStaleAt{0};
  std::atomic<std::int64_t> copied{0};
  std::atomic<std::int64_t> skipped{0};
  std::atomic<std::int64_t> deleted{0};
  std::atomic<std::int64_t> dropped{0};
  std::atomic<std::int64_t> written{0};
  std::atomic<std::int64_t> read{0};
  std::atomic<std::int64_t> done{0};
  std::mutex mutex;  // guards failures
  std::vector<std::string> failures;
};

}  // namespace fleck::ops
