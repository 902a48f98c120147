#pragma once

#include <cstdint>
#include <vector>

#include "fleck/CFleckDiskLock.h"
#include "fleck/ops/IProgress.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::ops {

// Removes snapshots from their chain so that every other disk of the chain reads
// exactly what it read before. The oldest snapshot is unlinked and deleted. Any other
// first hands its child the flecks the child lacks (moved within the store, records as
// they are, nothing decrypted), then the neighbours are linked to each other and what
// is left is deleted. The disk is marked unfinished (CFleckDiskMark) before its first
// change, so a removal cut short leaves the snapshot refusing to open, every other disk
// reading as before, and running it again finishes the job. The live disk (the one
// without a parent) is refused. docs/FORMAT.md gives the order of the steps.
//
// Takes the writer locks of the snapshot, of its child and of its parent while it works:
// a writer of the parent moves flecks into its child, so it must not run meanwhile.
//
// Keeps only the file system and a setting; one thread at a time.
class CSnapshotRemover final {
 public:
  struct Result {
    zel::CURI folder;
    // Flecks handed to the child, and the flecks and bytes deleted with the snapshot.
    std::int64_t movedFlecks = 0;
    std::int64_t deletedFlecks = 0;
    std::int64_t freedBytes = 0;
    // Entries of the snapshot's folder that are not the disk's own: left in place, with
    // the folder.
    std::vector<zel::CURI> leftOver;
  };

  explicit CSnapshotRemover(zel::P<zel::IFileSystem> fs);

  // File-system operations in flight at once (moves and deletions): more pays on an
  // object store, where each is a request.
  void setParallelOperations(int count) { parallel = count < 1 ? 1 : count; }

  // Removes the snapshot in `folder`. `progress` (may be null) counts the bytes of its
  // flecks handed on or deleted. Throws COperationError for the live disk, a folder
  // without a disk, a missing parent, a disk in use by a writer and broken links.
  Result remove(const zel::CURI& folder, IProgress* progress);

  // Removes all but the `keep` newest snapshots of the chain of the disk in `folder`,
  // oldest first. Returns one result per removed snapshot.
  std::vector<Result> keepLast(const zel::CURI& folder, int keep, IProgress* progress);

 private:
  class CWindow;

  // Deletes what is left of a snapshot once no disk reads through it: the fleck tree,
  // the metadata, its own lock (released), the mark, the folders.
  void deleteDisk(const zel::CURI& folder, zel::P<CFleckDiskLock>& ownLock, Result& result);

  zel::P<zel::IFileSystem> fs;
  int parallel = 1;
};

}  // namespace fleck::ops
