#pragma once

#include <cstdint>
#include <map>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"
#include "zel/CBase.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck::nbd {

// Serves a client that reads a disk in order: a parallel read-ahead stream decodes the
// flecks ahead on `threads` threads, and a small window keeps the last ones it
// delivered, because an NBD client keeps many requests in flight and they arrive
// slightly out of order.
//
// The read threads read the fleck files themselves, so the reader must not run while
// the disk holds changes that are not stored (the owner stops it before any write).
//
// Threads: one caller at a time; no lock. The read-ahead stream's threads share only
// its own locked manager and pool.
class CSequentialReader final : public zel::CBase {
 public:
  // Starts reading ahead at fleck `firstIndex` of the open `disk`.
  CSequentialReader(CFleckDisk* disk, int threads, std::int64_t firstIndex);
  CSequentialReader(const CSequentialReader&) = delete;
  CSequentialReader& operator=(const CSequentialReader&) = delete;
  // Stops the read threads; errors are logged.
  ~CSequentialReader() override;

  // Copies `count` bytes at `offsetInFleck` of fleck `index` into `buffer` when the
  // window has the fleck or the read-ahead reaches it soon; false (nothing copied) for
  // a fleck behind the window or too far ahead. The library's errors pass through (a
  // fleck that cannot be read).
  bool read(std::int64_t index, int offsetInFleck, void* buffer, int count);

 private:
  zel::P<CFleckDiskStreamWithParallelReadAhead> stream;
  std::int64_t fleckSize;
  std::int64_t diskSize;
  std::int64_t nextIndex;  // the fleck the stream delivers next
  std::size_t windowFlecks;
  std::map<std::int64_t, zel::P<zel::TBuffer<unsigned char>>> window;
  zel::P<zel::TBuffer<unsigned char>> spare;  // the last one evicted, to be used again
};

}  // namespace fleck::nbd
