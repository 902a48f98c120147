#pragma once

#include <cstdint>

#include "fleck/ops/CCopyPlan.h"
#include "fleck/ops/CCopyWork.h"
#include "fleck/ops/IPasswordSource.h"
#include "fleck/ops/IProgress.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/String.h"

namespace fleck::ops {

// Copies a disk, or its whole chain, to another folder on any file system the given one
// reaches: the records as they are (or encrypted again with a new password), the links
// rewritten relative so that the copy stands alone, incrementally over an earlier copy,
// and every file written read back and checked. The plan is CCopyPlan's; the files are
// handled by `threads` CCopyWorker threads.
//
// Crash safety: every destination disk is marked unfinished (CFleckDiskMark "copy")
// before anything in it changes, and the marks are cleared only once the whole copy is
// written and checked. A copy stopped at any point leaves the destination refusing to
// open, and running it again finishes it; the source is only read.
//
// One thread uses a copier.
class CDiskCopier final {
 public:
  struct Options {
    bool chain = false;
    int threads = 1;
    // Encrypt again with a key derived from newPassword (a new random salt).
    bool reencrypt = false;
    zel::String newPassword;
  };

  struct Stats {
    std::int64_t disks = 0;
    std::int64_t copied = 0;   // fleck files written
    std::int64_t skipped = 0;  // fleck files the destination held already
    std::int64_t moved = 0;    // of those, moved there from another destination disk
    std::int64_t deleted = 0;  // stale fleck files deleted
    std::int64_t dropped = 0;  // records of all-zero flecks not copied (standalone copy)
    std::int64_t bytesWritten = 0;
    std::int64_t bytesRead = 0;  // from both sides, read-backs included
    double seconds = 0;
  };

  CDiskCopier(zel::P<zel::IFileSystem> fs, const Options& options);

  // Copies `source` into `destination` (for a chain, the folder that gets one subfolder
  // per disk). `passwords` gives the source's password, asked only when re-encrypting
  // an encrypted source; `progress` hears of the source bytes handled. Throws
  // COperationError for what CCopyPlan refuses, a destination disk in use by a writer,
  // and files that could not be copied or read back right (naming the first).
  Stats run(const zel::CURI& source, const zel::CURI& destination, IPasswordSource& passwords,
            IProgress& progress);

 private:
  // Runs one phase on the threads and throws the failures.
  void runPhase(const CCopyPlan& plan, zel::P<CCopyWork> work, bool deleting,
                const zel::CURI& destination, IProgress* progress);
  // Writes and checks the header and links of a destination disk.
  void finishDisk(const CCopyPlan::Disk& disk);

  zel::P<zel::IFileSystem> fs;
  Options options;
};

}  // namespace fleck::ops
