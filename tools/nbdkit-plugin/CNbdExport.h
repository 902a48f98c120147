#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "CDecodedFlecks.h"
#include "CHoleMap.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskStreamWithCache.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck::nbd {

// The disk that `nbdkit fleck` serves, shared by every connection: one open disk, one
// cached stream over it for writes, and the decoded flecks that reads share.
//
// While every change is stored, reads run in parallel: each takes its flecks from
// CDecodedFlecks, which decodes a fleck once for all the requests that want it, through
// stand-alone fleck objects, and decodes ahead of a client that reads in order. Writes,
// zeroes and trims go through the cached stream, which passes them to CFleckDisk::write;
// they run alone, and first make the decoded flecks forget what they hold, since those
// come from the files. From a write until a flush has stored everything, reads go
// through the cached stream too, one at a time, as it is the only one that sees the
// changes.
//
// Failures are zel::CError (and subclasses) from the library, and
// ops::COperationError for what goes wrong when opening. A failed transfer leaves the
// pieces before the failure done.
//
// Threads: any number of requests at once (nbdkit's parallel thread model). `access` is
// a reader-writer lock: reads of a disk whose changes are stored share it; everything
// that uses the disk or its stream (writes, zeroes, flushes, reads of unstored changes)
// holds it alone. The hole map has a lock of its own.
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
  // Stops reading ahead and closes the disk, which stores what is not stored yet; errors
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
  void syncFolders();
  // Before a change: reads must see it through the stream from now on.
  void beginChange();
  // Reads through the shared decoded flecks (the shared lock held).
  void readDecoded(unsigned char* out, std::uint32_t count, std::int64_t position);

  zel::P<zel::IFileSystem> fs;
  zel::P<CFleckDisk> disk;
  zel::P<CFleckDiskStreamWithCache> stream;
  std::unique_ptr<CDecodedFlecks> decoded;
  std::shared_mutex access;
  std::mutex holesMutex;  // guards holes
  std::unique_ptr<CHoleMap> holes;
  int threads;
  std::int64_t size;
  std::int64_t fleckSize;
  bool writable;
  // True from a write until the next flush has stored it: reads must go through the
  // stream, and the files do not show which flecks hold data. Written under `access`
  // alone, read under it shared.
  bool unstored = false;
  zel::TBuffer<unsigned char> zeros;  // one fleck of zeros (at most 4 MiB), for zero()
};

}  // namespace fleck::nbd
