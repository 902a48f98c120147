#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fleck::cli {

// Where export writes: a file (created or truncated) or standard output ("-"). A
// regular file is written sparse: blocks of 4 KiB that are all zeros are skipped
// (they read as zeros once the length is set), so the zero regions of an image take
// no space. Pipes, terminals and devices get every byte.
//
// One writer at a time.
class COutputFile final {
 public:
  static constexpr std::size_t kBlock = 4096;

  // Throws CCliError (failure) when the file cannot be opened. With allowSparse false
  // every byte is written.
  explicit COutputFile(const std::string& path, bool allowSparse = true);
  // Closes a file that finish() did not; never throws.
  ~COutputFile();
  COutputFile(const COutputFile&) = delete;
  COutputFile& operator=(const COutputFile&) = delete;

  bool isSparse() const noexcept { return sparse; }
  std::string describe() const { return name; }

  // Writes the next `count` bytes. Throws CCliError on failure.
  void write(const unsigned char* data, std::size_t count);
  // Sets the length of a sparse file (its zeros at the end are holes) and closes a file
  // the object opened. Throws CCliError on failure.
  void finish();

  std::int64_t getSkippedBytes() const noexcept { return skipped; }

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

}  // namespace fleck::cli
