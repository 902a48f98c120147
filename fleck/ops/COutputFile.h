#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fleck/ops/IImageSink.h"

namespace fleck::ops {

// Where export writes: a file (created or truncated) or standard output ("-"). A
// regular file is written sparse: blocks of 4 KiB that are all zeros are skipped
// (they read as zeros once the length is set), so the zero regions of an image take
// no space. Pipes, terminals and devices get every byte. A regular file opened here (or
// an empty one on standard output) also takes writes at positions, from many threads.
//
// write() and finish(): one thread at a time; writeAt(): any threads at once.
class COutputFile final : public IImageSink {
 public:
  static constexpr std::size_t kBlock = 4096;

  // Throws COperationError when the file cannot be opened. With allowSparse false
  // every byte is written.
  explicit COutputFile(const std::string& path, bool allowSparse = true);
  // Closes a file that finish() did not; never throws.
  ~COutputFile() override;
  COutputFile(const COutputFile&) = delete;
  COutputFile& operator=(const COutputFile&) = delete;

  bool isSparse() const noexcept { return sparse; }
  std::string describe() const override { return name; }

  // Writes the next `count` bytes. Throws COperationError on failure.
  void write(const unsigned char* data, std::size_t count) override;
  bool canWriteAt() const override { return positioned; }
  // Writes at a position (pwrite), skipping zero blocks of a sparse file. Throws
  // COperationError on failure.
  void writeAt(std::int64_t offset, const unsigned char* data, std::size_t count) override;
  // Sets the length of a sparse file (its zeros at the end are holes) and closes a file
  // the object opened. Throws COperationError on failure.
  void finish() override;

  std::int64_t getSkippedBytes() const override { return skipped.load(); }

 private:
  // Writes everything at `offset` (pwrite), or in order when the output has no positions.
  void writeAll(std::int64_t offset, const unsigned char* data, std::size_t count);
  // Writes at `offset`, leaving out the zero blocks (aligned to the file's blocks).
  void writeSparse(std::int64_t offset, const unsigned char* data, std::size_t count);
  [[noreturn]] void fail(const char* doing) const;

  int fd = -1;
  bool ownsFd = false;
  bool sparse = false;
  bool positioned = false;  // a regular file written with pwrite
  std::string name;
  std::int64_t position = 0;  // of write(); one thread
  // Atomic: writeAt runs on many threads.
  std::atomic<std::int64_t> skipped{0};
  std::atomic<std::int64_t> end{0};  // the farthest byte written or skipped
};

}  // namespace fleck::ops
