#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CHoleMap.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskStreamWithCache.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck::nbd {

class CSequentialReader;

// The disk that `nbdkit fleck` serves, shared by every connection: one open disk, one
// cached stream over it for reads and writes, and a sequential reader that decodes
// flecks ahead on threads of its own while a client reads in order.
//
// Reads go through the cached stream (a fleck decoded once serves many small reads)
// unless the sequential reader has the fleck. Writes, zeroes and trims go through the
// cached stream as well, which passes them to CFleckDisk::write and keeps its cached
// copy of the fleck up to date; they also stop the sequential reader, whose threads read
// the fleck files directly and cannot see changes that are not stored yet. It starts
// again only after a flush has stored everything.
//
// Failures are zel::CError (and subclasses) from the library, and
// ops::COperationError for what goes wrong when opening. A failed transfer leaves the
// pieces before the failure done.
//
// Threads: one caller at a time, with no lock: the disk and its streams serve one caller
// at a time, and nbdkit runs the plugin with every request serialised (see plugin.cpp).
// Only the sequential reader's own threads run beside the caller, and they share
// nothing with this object but the reader's locked queue.
class CNbdExport final {
 public:
  enum class ReadOnly { Auto, Yes, No };

  // What `nbdkit fleck` was told on its command line.
  struct Options {
    std::string diskPath;
    std::string passwordFile;  // empty: FLECK_PASSWORD
    ReadOnly readOnly = ReadOnly::Auto;
    int threads = 0;  // 0: the number of cores
  };

  // Checks what can be checked before nbdkit starts threads or forks: the folder holds
  // a disk this version can read, a password is given when the disk needs one, and it
  // is right. Throws ops::COperationError, which names the disk and what is wrong.
  static void check(const Options& options);

  // Opens the disk (for writing unless it is served read-only). Throws as check().
  explicit CNbdExport(const Options& options);
  CNbdExport(const CNbdExport&) = delete;
  CNbdExport& operator=(const CNbdExport&) = delete;
  // Stops the reader and closes the disk, which stores what is not stored yet; errors
  // are logged, never thrown.
  ~CNbdExport();

  std::int64_t getSize() const noexcept { return size; }
  bool isWritable() const noexcept { return writable; }

  // Copies `count` bytes at `offset` (inside the disk) into `buffer`.
  void read(void* buffer, std::uint32_t count, std::uint64_t offset);
  // Writes `count` bytes at `offset` (inside the disk). zel::CError when read-only.
  void write(const void* buffer, std::uint32_t count, std::uint64_t offset);
  // Writes zeros over the range, so that flecks that become all zero lose their files
  // when stored (or get a zero record over a parent's data).
  void zero(std::uint32_t count, std::uint64_t offset);
  // Stores every change, waits for the stores and syncs the disk's file system. Throws
  // zel::CError when a background store has failed since the disk was opened: lost
  // data stays reported on every later flush, as nothing can make it durable again.
  void flush();

  // What reads as zeros in the range, fleck by fleck (see CHoleMap::map): flecks with a
  // file somewhere in the chain are data, the others zeros. While anything written is
  // not stored yet (from a write, zero or trim until a flush succeeds), the whole range
  // is one data extent: the disk does not show which flecks its fleck object or running
  // stores hold, so the files say nothing certain about them then.
  std::vector<CHoleMap::Extent> mapExtents(std::uint32_t count, std::uint64_t offset,
                                           bool firstOnly);

  // Threads when none are given: the number of cores.
  static int defaultThreads();

 private:
  void requireWritable() const;
  // Stops the sequential reader (before anything changes the disk).
  void stopReader() noexcept;
  void syncFolders();
  // Notes that fleck `index` was read and starts the sequential reader after a run of
  // flecks read in order.
  void noteRead(std::int64_t index);

  zel::P<zel::IFileSystem> fs;
  zel::P<CFleckDisk> disk;
  zel::P<CFleckDiskStreamWithCache> stream;
  zel::P<CSequentialReader> reader;  // null unless a client reads in order
  std::unique_ptr<CHoleMap> holes;
  int threads;
  std::int64_t size;
  std::int64_t fleckSize;
  bool writable;
  // True from a write until the next flush has stored it: the sequential reader must
  // not run meanwhile, and the files do not show which flecks hold data.
  bool unstored = false;
  // The fleck read last and how many flecks in a row were read in order before it.
  std::int64_t lastReadIndex = -1;
  int inOrderRun = 0;
  // Pieces in a row that the running reader did not have: the client went elsewhere.
  int readerMisses = 0;
  zel::TBuffer<unsigned char> zeros;  // one fleck of zeros (at most 4 MiB), for zero()
};

}  // namespace fleck::nbd
