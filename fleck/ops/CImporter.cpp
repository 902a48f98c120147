#include "fleck/ops/CImporter.h"

#include <cstring>

#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/COperationError.h"
#include "zel/CTime.h"

namespace fleck::ops {

namespace {

COperationError diskFailure(const CFleckDisk& disk, const std::string& what) {
  return COperationError(disk.getDiskFolder(), what);
}

}  // namespace

CImporter::CImporter(zel::P<zel::IFileSystem> fs, zel::P<CFleckDisk> disk, Options options)
    : fs(std::move(fs)),
      disk(std::move(disk)),
      options(options),
      fleckSize(this->disk->getFleckSize()),
      diskSize(this->disk->getSize()) {
  if (this->options.threads < 1) this->options.threads = 1;
}

CImporter::~CImporter() {
  stopWorkers();
}

void CImporter::stopWorkers() {
  if (queue != nullptr) queue->abort();
  for (auto& worker : workers)
    worker->stop(true);
  workers.clear();
}

bool CImporter::nextJob(IImageSource& source, std::int64_t index, CImportQueue::Job& job) {
  const std::int64_t position = index * fleckSize;
  const std::int64_t imageSize = source.getSize();
  if (position >= diskSize) {
    // The disk is full; an image that goes on is larger than the disk.
    unsigned char probe;
    if (imageSize < 0 && source.read(&probe, 1) != 0) {
      throw diskFailure(*disk, "the image " + source.describe() + " is larger than the disk (" +
                                   std::to_string(diskSize) + " bytes); the first " +
                                   std::to_string(diskSize) + " bytes were imported");
    }
    return false;
  }
  if (source.canReadAt() && position >= imageSize) return false;
  const std::int64_t length = std::min(fleckSize, diskSize - position);
  job.index = index;
  job.payload = nullptr;
  if (source.canReadAt() && length == fleckSize && position + length <= imageSize) {
    // A whole fleck of a file: the worker reads it, so that reading runs in parallel.
    stats.bytes += length;
    return true;
  }
  zel::P<zel::CMemPoolBuffer> payload = setup.payloadPool->checkOutItem();
  payload->setUsed(static_cast<std::size_t>(fleckSize));
  unsigned char* data = payload->getData();
  const auto got = static_cast<std::int64_t>(
      source.canReadAt()
          ? source.readAt(data, static_cast<std::size_t>(std::min(length, imageSize - position)),
                          position)
          : source.read(data, static_cast<std::size_t>(length)));
  if (got == 0) return false;
  stats.bytes += got;
  if (got < length) {
    // The image ends inside this fleck: the rest keeps what the disk has there.
    end = true;
    disk->seek(position + got);
    disk->read(data + got, static_cast<int>(length - got));
  }
  // Bytes behind the disk's end (a disk size that is not a multiple of the fleck size).
  std::memset(data + length, 0, static_cast<std::size_t>(fleckSize - length));
  job.payload = std::move(payload);
  return true;
}

void CImporter::apply(const CImportQueue::Result& result) {
  using Action = CImportQueue::Action;
  if (result.error != nullptr) {
    throw diskFailure(*disk, "preparing fleck " + std::to_string(result.index) +
                                 " failed: " + COperationError::describe(*result.error));
  }
  const zel::TBuffer<unsigned char>* record = nullptr;
  switch (result.action) {
    case Action::Skip:
      ++(result.allZero ? stats.zeroSkipped : stats.unchanged);
      return;
    case Action::StoreRecord:
      record = result.record.get();
      ++stats.stored;
      break;
    case Action::StoreZeroRecord:
      // Handed over as an all-zero fleck: the disk keeps the zero record itself.
      ++stats.stored;
      ++stats.zeroStored;
      break;
    case Action::RemoveFile:
      ++stats.removed;
      break;
  }
  disk->seek(result.index * fleckSize);
  // The storer holds its own reference to the record until the disk reaps it.
  disk->writePreparedFleckData(record, watcher);
}

void CImporter::checkStores() {
  if (disk->haveBackgroundErrors()) {
    const auto& errors = disk->getBackgroundErrorList();
    const CFleck::Error& first = errors.front();
    throw diskFailure(*disk, "storing " + std::to_string(errors.size()) +
                                 " fleck(s) failed; fleck " + std::to_string(first.fleckIndex) +
                                 ": " + COperationError::describe(*first.error));
  }
  if (watcher->getFailed() > 0) {
    throw diskFailure(*disk, "storing " + std::to_string(watcher->getFailed()) +
                                 " fleck(s) failed: " + watcher->getFirstFailure());
  }
}

void CImporter::syncFolders() {
  std::vector<zel::CURI> folders{disk->getDiskFolder()};
  if (!disk->getChildDiskFolder().isEmpty()) folders.push_back(disk->getChildDiskFolder());
  for (const zel::CURI& folder : folders) {
    try {
      fs->sync(folder);
    } catch (const zel::CError& e) {
      throw diskFailure(*disk, "cannot sync " + CDiskAccess::show(folder) +
                                   " to the storage: " + COperationError::describe(e));
    }
  }
}

CImporter::Stats CImporter::run(IImageSource& source, IProgress& progress) {
  const zel::CTime start = zel::CTime::now();
  if (source.getSize() > diskSize) {
    throw diskFailure(*disk, "the image " + source.describe() + " (" +
                                 std::to_string(source.getSize()) +
                                 " bytes) is larger than the disk (" + std::to_string(diskSize) +
                                 " bytes); nothing was imported");
  }
  progress.start(source.getSize());

  const int threads = options.threads;
  // Each worker holds one batch while the next waits for it in the queue.
  setup.batch = CImportWorker::batchFor(fleckSize);
  const int maxInFlight = 2 * threads * static_cast<int>(setup.batch);
  setup.fleckSize = fleckSize;
  setup.payloadPool = zel::make<zel::CMemPool>(maxInFlight + 1, static_cast<std::size_t>(fleckSize),
                                               zel::CMemPool::FlagLazy);
  if (source.canReadAt()) setup.source = &source;
  const auto recordSize = static_cast<std::size_t>(CFleckDataPreparer::getMaxRecordSize(fleckSize));
  setup.fs = fs;
  setup.header = disk->getHeader();
  setup.chain.push_back(disk->getDiskFolder());
  for (const zel::CURI& parent : disk->getParentDiskFolders())
    setup.chain.push_back(parent);
  setup.incremental = options.incremental;
  setup.recordPool = zel::make<zel::CMemPool>(maxInFlight + 2, recordSize, zel::CMemPool::FlagLazy);

  zel::P<CFleckDataPreparer> preparer = disk->createDataPreparer();
  zel::TBuffer<unsigned char> zeros;
  zeros.setUsed(static_cast<std::size_t>(fleckSize));
  std::memset(zeros.getData(), 0, zeros.getUsed());
  zeroRecord = zel::make<zel::TBuffer<unsigned char>>();
  preparer->prepareData(zeros, *zeroRecord);
  // The record's head carries the payload digest.
  setup.zeroDigest.assign(zeroRecord->getData() + CFleckDataPreparer::getDigestOffset(),
                          static_cast<std::size_t>(preparer->getDigestLength()));

  watcher = zel::make<CStoreWatcher>();
  queue = zel::make<CImportQueue>();
  for (int i = 0; i < threads; ++i) {
    auto worker = zel::make<CImportWorker>(setup, queue, disk->createDataPreparer());
    worker->start();
    workers.push_back(worker);
  }

  try {
    std::int64_t nextRead = 0;
    std::int64_t nextStore = 0;
    end = false;
    std::int64_t storedBytes = 0;
    while (true) {
      // A failed store ends the import early; the flush below reports it.
      if (watcher->getFailed() > 0) break;
      while (!end && nextRead - nextStore < maxInFlight) {
        CImportQueue::Job job;
        if (!nextJob(source, nextRead, job)) {
          end = true;
          break;
        }
        queue->push(std::move(job));
        ++nextRead;
      }
      if (nextStore == nextRead) break;
      CImportQueue::Result result;
      if (!queue->take(nextStore, result)) throw diskFailure(*disk, "the import was stopped");
      apply(result);
      ++nextStore;
      storedBytes = std::min(nextStore * fleckSize, stats.bytes);
      progress.update(storedBytes);
    }
    stats.flecks = nextStore;
    queue->close();
    stopWorkers();
    disk->flushChanges();
    checkStores();
    if (nextStore != nextRead) throw diskFailure(*disk, "the import stopped early");
    if (options.sync) syncFolders();
    progress.finish(stats.bytes);
  } catch (...) {
    stopWorkers();
    throw;
  }
  stats.seconds = (zel::CTime::now() - start).getSeconds();
  return stats;
}

}  // namespace fleck::ops
