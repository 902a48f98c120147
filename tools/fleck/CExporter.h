#pragma once

#include <cstdint>
#include <string>

#include "COutputFile.h"
#include "CProgress.h"
#include "fleck/CFleckDisk.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::cli {

// Reads a byte range of an open disk through a CFleckDiskStreamWithParallelReadAhead
// (`threads` read threads, each with a fleck object of its own) and writes it to an
// output, sparse where the disk reads zeros and the output is a regular file.
// Optionally computes the SHA-256 of the bytes (for the demo's checks).
//
// One thread uses an exporter; the disk must not be read by others meanwhile.
class CExporter final {
 public:
  struct Stats {
    std::int64_t bytes = 0;
    std::int64_t sparseBytes = 0;  // bytes left as holes in the output
    double seconds = 0;
    std::string sha256;  // when asked for
  };

  // `fs` is the file system the disk was opened with.
  CExporter(zel::P<zel::IFileSystem> fs, zel::P<CFleckDisk> disk, int threads);

  // Exports `length` bytes from `offset` (both checked by the caller against the disk's
  // size). Throws CCliError (failure) naming the disk or the output.
  Stats run(std::int64_t offset, std::int64_t length, COutputFile& output, CProgress& progress,
            bool computeDigest);

 private:
  // Waits until the stream's read threads have dropped their objects (see run).
  void waitForReadThreadsToLetGo(long referencesBefore) const;

  zel::P<zel::IFileSystem> fs;
  zel::P<CFleckDisk> disk;
  int threads;
};

}  // namespace fleck::cli
