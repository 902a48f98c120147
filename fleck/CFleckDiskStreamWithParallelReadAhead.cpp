#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"

#include <algorithm>
#include <cstring>

#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace fleck {

// Reads the flecks the manager hands out, each through the thread's own fleck object,
// and stores their payloads (or the errors met) with the manager.
class CFleckDiskStreamWithParallelReadAhead::CReadThread final : public zel::CThread {
 public:
  CReadThread(zel::P<CFleck> fleck, std::int64_t fleckSize,
              zel::P<CParallelReadAheadManager> manager, zel::P<zel::CMemPool> pool)
      : zel::CThread(nullptr, true),
        fleck(std::move(fleck)),
        fleckSize(fleckSize),
        manager(std::move(manager)),
        pool(std::move(pool)) {}

  void run() override {
    while (checkContinue()) {
      const std::int64_t index = manager->nextFleckIndexForReadAhead();
      if (index == -1) break;
      try {
        fleck->seek(index, 0);
        zel::P<zel::CMemPoolBuffer> buffer = pool->checkOutItem();
        buffer->setUsed(static_cast<std::size_t>(fleckSize));
        const int got = fleck->readLaxInsideFleck(buffer->getData(), static_cast<int>(fleckSize));
        buffer->setUsed(static_cast<std::size_t>(got));
        manager->storeReadAheadResult(index, buffer, nullptr);
      } catch (const std::exception& e) {
        // One failed fleck does not end the thread; the reader meets the error there.
        zel::P<zel::CError> error = zel::CStdExceptionError::exceptionToError(e);
        manager->storeReadAheadResult(index, nullptr, error);
      }
    }
  }

 private:
  const zel::P<CFleck> fleck;
  const std::int64_t fleckSize;
  const zel::P<CParallelReadAheadManager> manager;
  const zel::P<zel::CMemPool> pool;
};

CFleckDiskStreamWithParallelReadAhead::CFleckDiskStreamWithParallelReadAhead(CFleckDisk* disk,
                                                                             int threadCount)
    : disk(disk),
      fleckSize(disk->getFleckSize()),
      uri(disk->getDiskFolder()),
      length(disk->getSize()) {
  if (threadCount < 1) {
    throw zel::CInvalidArgError("CFleckDiskStreamWithParallelReadAhead",
                                "the number of read threads must be at least 1",
                                zel::CProps().add("threadCount", threadCount));
  }
  pool = zel::make<zel::CMemPool>(threadCount + 2,
                                  static_cast<std::size_t>(static_cast<std::uint32_t>(fleckSize)),
                                  zel::CMemPool::FlagLazy);
  const std::int64_t fleckCount = (length + fleckSize - 1) / fleckSize;
  manager = zel::make<CParallelReadAheadManager>(fleckCount, threadCount);
  try {
    for (int i = 0; i < threadCount; ++i) {
      auto thread =
          zel::make<CReadThread>(disk->newStandAloneFleckObject(), fleckSize, manager, pool);
      thread->start();
      readThreads.add(thread);
    }
  } catch (...) {
    close();
    throw;
  }
}

CFleckDiskStreamWithParallelReadAhead::~CFleckDiskStreamWithParallelReadAhead() {
  try {
    close();
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored("fleck::CFleckDiskStreamWithParallelReadAhead", e, true);
  }
}

void CFleckDiskStreamWithParallelReadAhead::checkOpen() const {
  if (disk == nullptr) throw zel::CIOError(zel::CIOError::StreamClosed);
}

std::int64_t CFleckDiskStreamWithParallelReadAhead::getPosition() const {
  checkOpen();
  return position;
}

void CFleckDiskStreamWithParallelReadAhead::seek(std::int64_t target) {
  checkOpen();
  if (target < 0 || target > length) {
    throw zel::CIOError(zel::CIOError::InvalidPosition, zel::String(),
                        zel::CProps().add("uri", uri.toString(true)));
  }
  position = target;
}

zel::P<zel::IStreamLock> CFleckDiskStreamWithParallelReadAhead::lockRange(std::int64_t,
                                                                          std::int64_t, LockType) {
  zel::CError cause("Fleck disk stream does not support lockRange.");
  throw zel::CFileSystemError(zel::CFileSystemError::Unsupported, &cause);
}

void CFleckDiskStreamWithParallelReadAhead::close() {
  if (disk == nullptr) return;
  // The manager first: no thread gets new work, and every waiting one wakes.
  manager->signalStop();
  for (auto& thread : readThreads)
    thread->stop(false);
  for (auto& thread : readThreads)
    thread->waitFinished(-1);
  readThreads.clear();
  manager = nullptr;
  disk = nullptr;
}

void CFleckDiskStreamWithParallelReadAhead::read(void* buffer, int count) {
  const int got = readLax(buffer, count);
  if (got < count) {
    throw zel::CIOError(zel::CIOError::EndOfStream, zel::String(),
                        zel::CProps().add("uri", uri.toString(true)));
  }
}

int CFleckDiskStreamWithParallelReadAhead::readLax(void* buffer, int count) {
  checkOpen();
  auto* out = static_cast<unsigned char*>(buffer);
  int total = 0;
  while (count > 0 && position < length) {
    const std::int64_t index = position / fleckSize;
    const std::int64_t offset = position % fleckSize;
    if (currentData == nullptr || index != currentIndex) {
      currentData = nullptr;
      currentData = manager->getFleckData(index);
      currentIndex = index;
    }
    const std::int64_t available = static_cast<std::int64_t>(currentData->getUsed()) - offset;
    if (available < 1) {
      throw zel::CError(
          "Internal error in CFleckDiskStreamWithParallelReadAhead::readLax: fleck data smaller "
          "than expected.",
          zel::String(), -1,
          zel::CProps()
              .add("uri", uri.toString(true))
              .add("position", position)
              .add("length", length)
              .add("offsetInFleck", offset)
              .add("fleckDataSize", static_cast<std::int64_t>(currentData->getUsed())));
    }
    std::int64_t k = std::min<std::int64_t>(count, available);
    k = std::min(k, length - position);
    std::memcpy(out, currentData->getData() + offset, static_cast<std::size_t>(k));
    out += k;
    count -= static_cast<int>(k);
    position += k;
    total += static_cast<int>(k);
  }
  return total;
}

bool CFleckDiskStreamWithParallelReadAhead::isEndOfStream() const {
  checkOpen();
  return position >= length;
}

}  // namespace fleck
