#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fleck/ops/CFleckTree.h"
#include "zel/CBase.h"

namespace fleck::ops {

// The fleck files a verify run checks, shared by its threads: hands out the files one
// by one, collects the damaged ones and counts the bytes read.
//
// Thread-safe: the list is read-only after construction, the position and the byte
// count are atomic, the damage list has a mutex.
class CVerifyWork final : public zel::CBase {
 public:
  struct Damage {
    std::int64_t index;
    zel::CURI file;
    std::string problem;
  };

  explicit CVerifyWork(std::vector<CFleckTree::Entry> files);
  CVerifyWork(const CVerifyWork&) = delete;
  CVerifyWork& operator=(const CVerifyWork&) = delete;

  // The next file to check, or null when all were handed out.
  const CFleckTree::Entry* next();
  void addDamage(Damage damage);
  void addBytes(std::int64_t bytes) { bytesDone.fetch_add(bytes, std::memory_order_relaxed); }

  std::int64_t getBytesDone() const { return bytesDone.load(std::memory_order_relaxed); }
  std::int64_t getTotalBytes() const noexcept { return totalBytes; }
  std::size_t getFileCount() const noexcept { return files.size(); }
  // The damaged files, by index; call once the threads have ended.
  std::vector<Damage> takeDamage();

 private:
  const std::vector<CFleckTree::Entry> files;
  std::int64_t totalBytes = 0;  // set in the constructor, then read only
  std::atomic<std::size_t> nextFile{0};
  std::atomic<std::int64_t> bytesDone{0};
  std::mutex mutex;  // guards damage
  std::vector<Damage> damage;
};

}  // namespace fleck::ops
