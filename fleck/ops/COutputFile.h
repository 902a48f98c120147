#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fleck/ops/IImageSink.h"

namespace fleck::ops {

// Where export writes: a file (created or truncated) or standard output ("-"). A
// regular file is written sparse: blocks of 4 KiB that are all zeros are skipped
// (they read as zeros once the length is set), so the zero regions of an image take
// no space. Pipes, terminals and devices get every byte.
//
// One writer at a time.
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
  // Sets the length of a sparse file (its zeros at the end are holes) and closes a file
  // the object opened. Throws COperationError on failure.
  void finish() override;

  std::int64_t getSkippedBytes() const override { return skipped; }

 private:
  void writeAll(const unsigned char* data, std::size_t count);
  [[noreturn]] void fail(const char* doing) const;

  int fd = -1;
  bool ownsFd = false;
  bool sparse = false;
  std::string name;
  std::int64_t position = 0;
  std::int64_t skipped = 0;
};

}  // namespace fleck::ops
