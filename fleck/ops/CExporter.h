#pragma once

#include <cstdint>
#include <string>

#include "fleck/CFleckDisk.h"
#include "fleck/ops/COperationError.h"
#include "fleck/ops/IImageSink.h"
#include "fleck/ops/IProgress.h"
#include "keel/IDigest.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::ops {

// Reads a byte range of an open disk with `threads` read threads, each with a fleck
// object of its own, and writes it to an output (COutputFile for a file: sparse where
// the disk reads zeros). An output with positions (a regular file) gets each fleck
// straight from the thread that decoded it, at its offset; any other output, or one
// whose bytes are also digested, gets them in order through a
// CFleckDiskStreamWithParallelReadAhead. Optionally computes the SHA-256 of the bytes (to
// compare them with an image).
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
  // size). Throws COperationError naming the disk, or the output's error.
  Stats run(std::int64_t offset, std::int64_t length, IImageSink& output, IProgress& progress,
            bool computeDigest);

 private:
  // The two ways of run: bytes in order, or flecks at their offsets.
  void runInOrder(std::int64_t offset, std::int64_t length, IImageSink& output, IProgress& progress,
                  keel::IDigest* digest, Stats& stats);
  void runAtOffsets(std::int64_t offset, std::int64_t length, IImageSink& output,
                    IProgress& progress, Stats& stats);
  // The failure of reading the fleck at disk byte `position`.
  COperationError readFailure(std::int64_t position, const std::exception& e) const;
  // Waits until the stream's read threads have dropped their objects (see run).
  void waitForReadThreadsToLetGo(long referencesBefore) const;

  zel::P<zel::IFileSystem> fs;
  zel::P<CFleckDisk> disk;
  int threads;
};

}  // namespace fleck::ops
