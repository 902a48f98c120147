#pragma once

#include <cstdint>
#include <vector>

#include "fleck/ops/IProgress.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::ops {

// Which byte ranges of two disks differ, told fleck by fleck without a password and
// without decrypting: a fleck record's head carries the digest of the plain payload.
//
// For each disk the chain it reads through (the disk, then its parents, nearest first)
// decides which file holds each fleck. Flecks that both disks read from the same file
// (a shared parent's) are equal without reading anything; a fleck no folder holds reads
// as zeros and compares by the digest of an all-zero payload, so it equals a stored
// zero record. Every other fleck costs one read of a record's head per disk.
//
// A fleck is reported whole: two flecks are equal only when their payload digests are.
// Disks of different sizes are compared up to the smaller size; the rest of the larger
// one is one differing range. The disks should not be written while compared: a fleck
// file that moves away meanwhile fails the comparison.
//
// One thread calls compare; it runs up to `threads` threads for the heads (itself one
// of them).
class CDiskDiff final {
 public:
  struct Range {
    std::int64_t offset;
    std::int64_t length;
  };
  struct Result {
    // Differing bytes in order, adjacent flecks merged; none reaches past the larger
    // disk's end.
    std::vector<Range> ranges;
    std::int64_t fleckSize = 0;
    std::int64_t sizeA = 0;
    std::int64_t sizeB = 0;
    std::int64_t differingBytes = 0;
    std::int64_t differingFlecks = 0;  // within the common size
    std::int64_t comparedFlecks = 0;   // compared by their digests
    std::int64_t sharedFlecks = 0;     // read by both from one file: equal, nothing read
    std::int64_t headsRead = 0;
  };

  CDiskDiff(zel::P<zel::IFileSystem> fs, int threads);

  // Throws COperationError for a folder without a usable disk, a missing parent, disks
  // of different fleck sizes or digests, and a fleck file whose head is damaged or
  // cannot be read (naming the file). `progress` (may be null) hears of the flecks
  // compared, as bytes of fleck size each.
  Result compare(const zel::CURI& a, const zel::CURI& b, IProgress* progress);

 private:
  zel::P<zel::IFileSystem> fs;
  int threads;
};

}  // namespace fleck::ops
