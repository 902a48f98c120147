#pragma once

#include <cstdint>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/ops/CImportQueue.h"
#include "fleck/ops/CImportWorker.h"
#include "fleck/ops/CStoreWatcher.h"
#include "fleck/ops/IImageSource.h"
#include "fleck/ops/IProgress.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::ops {

// Writes an image into an open disk, fleck by fleck: the calling thread reads the
// image into pooled fleck buffers, `threads` CImportWorkers decide and prepare in
// parallel, and the calling thread hands the records to the disk in index order
// (CFleckDisk::writePreparedFleckData, which waits for a free background slot). Each
// worker prepares a batch of flecks at once (CImportWorker::batchFor: up to 16, at most
// 32 MiB); at most 2 x threads batches are between reading and storing, so memory stays
// bounded whatever the image size.
//
// Flecks past the image's end are left as they are; the bytes of the last fleck
// behind the image's end keep what the disk read there. An image larger than the disk
// fails before anything is written when its size is known, else when it passes the
// end (what was stored until then stays). After the last record the disk is flushed;
// any store that failed makes run() throw. Unless `sync` is off, the disk's folders are
// then synced once (IFileSystem::sync), instead of syncing each fleck file.
//
// One thread uses an importer; the disk must not be used by anyone else meanwhile.
class CImporter final {
 public:
  struct Options {
    int threads = 1;
    bool incremental = false;
    bool sync = true;
  };

  struct Stats {
    std::int64_t bytes = 0;       // image bytes read
    std::int64_t flecks = 0;      // flecks the image covers
    std::int64_t stored = 0;      // records stored (zero records included)
    std::int64_t zeroStored = 0;  // of those, records of zeros over a parent's data
    std::int64_t removed = 0;     // files removed for all-zero flecks
    std::int64_t zeroSkipped = 0;
    std::int64_t unchanged = 0;  // skipped by Options::incremental
    double seconds = 0;
  };

  CImporter(zel::P<zel::IFileSystem> fs, zel::P<CFleckDisk> disk, Options options);
  // Stops the workers when run() failed; never throws.
  ~CImporter();
  CImporter(const CImporter&) = delete;
  CImporter& operator=(const CImporter&) = delete;

  // Imports the whole image. Throws COperationError naming the disk.
  Stats run(IImageSource& source, IProgress& progress);

 private:
  // The job of fleck `index`: its bytes read into a pooled buffer, or (a whole fleck of
  // a source that reads at any position) none, for the worker to read. False at the
  // image's end.
  bool nextJob(IImageSource& source, std::int64_t index, CImportQueue::Job& job);
  void apply(const CImportQueue::Result& result);
  void checkStores();
  void syncFolders();
  void stopWorkers();

  zel::P<zel::IFileSystem> fs;
  zel::P<CFleckDisk> disk;
  Options options;
  CImportWorker::Setup setup;
  zel::P<CImportQueue> queue;
  std::vector<zel::P<CImportWorker>> workers;
  zel::P<zel::TBuffer<unsigned char>> zeroRecord;
  zel::P<CStoreWatcher> watcher;
  Stats stats;
  std::int64_t fleckSize;
  std::int64_t diskSize;
  bool end = false;  // the image has ended (set by nextJob)
};

}  // namespace fleck::ops
