#pragma once

#include <cstdint>
#include <vector>

#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::ops {

// The chain a disk belongs to, from the live disk (the one without a parent) to the
// oldest snapshot: the disk's parents, farthest first, the disk, then its children
// nearest first, as the link files say. For each disk what it stores and what removing
// it would free. Needs no password and opens no disk.
//
// Keeps only the file system; any thread.
class CSnapshotChain final {
 public:
  struct Disk {
    zel::CURI folder;
    std::int64_t storedFlecks = 0;
    std::int64_t storedBytes = 0;
    // Bytes that removing the disk deletes: all it stores for the oldest snapshot; for
    // one with a child, the flecks the child holds too (the rest move into the child).
    // -1 for the live disk, which cannot be removed.
    std::int64_t freedByRemoving = -1;
    // An interrupted removal or copy left the disk unfinished.
    bool unfinished = false;
  };

  explicit CSnapshotChain(zel::P<zel::IFileSystem> fs);

  // The chain of the disk in `folder`, live disk first. Throws COperationError for a
  // folder without a disk, a missing parent and damaged or circular links.
  std::vector<Disk> list(const zel::CURI& folder) const;

  // The folders alone, live disk first, without listing any fleck.
  std::vector<zel::CURI> folders(const zel::CURI& folder) const;

 private:
  zel::P<zel::IFileSystem> fs;
};

}  // namespace fleck::ops
