#include "fleck/ops/CExporter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"
#include "fleck/ops/COperationError.h"
#include "keel/CDigestType_SHA256.h"
#include "keel/IDigest.h"
#include "zel/CTime.h"
#include "zel/TBuffer.h"

namespace fleck::ops {

CExporter::CExporter(zel::P<zel::IFileSystem> fs, zel::P<CFleckDisk> disk, int threads)
    : fs(std::move(fs)), disk(std::move(disk)), threads(std::max(threads, 1)) {}

void CExporter::waitForReadThreadsToLetGo(long referencesBefore) const {
  // The stream's close() waits until its read threads have finished their work, not
  // until they have ended: each still destroys its fleck object (digests and ciphers
  // of OpenSSL) afterwards, and the process must not reach its exit handlers (which
  // tear OpenSSL down) meanwhile. Each fleck object holds a reference to the file
  // system, released last, so the count shows when they are gone.
  const auto* counted = dynamic_cast<const zel::CBase*>(fs.get());
  if (counted == nullptr) return;
  for (int waited = 0; counted->getRefCount() > referencesBefore && waited < 10000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

COperationError CExporter::readFailure(std::int64_t position, const std::exception& e) const {
  return COperationError(disk->getDiskFolder(),
                         "reading byte " + std::to_string(position) + " (fleck " +
                             std::to_string(position / disk->getFleckSize()) +
                             ") failed: " + COperationError::describe(e));
}

CExporter::Stats CExporter::run(std::int64_t offset, std::int64_t length, IImageSink& output,
                                IProgress& progress, bool computeDigest) {
  const zel::CTime start = zel::CTime::now();
  Stats stats;
  zel::P<keel::IDigest> digest;
  if (computeDigest) zel::make<keel::CDigestType_SHA256>()->createDigest(digest);
  progress.start(length);
  if (output.canWriteAt() && !computeDigest) {
    runAtOffsets(offset, length, output, progress, stats);
  } else {
    runInOrder(offset, length, output, progress, digest.get(), stats);
  }
  output.finish();
  progress.finish(stats.bytes);
  stats.sparseBytes = output.getSkippedBytes();
  if (computeDigest) {
    digest->finish();
    stats.sha256 = zel::toHex(digest->getResult(), static_cast<std::size_t>(digest->getLength()));
  }
  stats.seconds = (zel::CTime::now() - start).getSeconds();
  return stats;
}

void CExporter::runAtOffsets(std::int64_t offset, std::int64_t length, IImageSink& output,
                             IProgress& progress, Stats& stats) {
  const std::int64_t fleckSize = disk->getFleckSize();
  const std::int64_t first = offset / fleckSize;
  const std::int64_t last = (offset + length - 1) / fleckSize;
  // Shared by the workers and this thread: the next fleck to claim, the bytes written,
  // and the first failure (under `mutex`), which stops every worker at its next claim.
  std::atomic<std::int64_t> next{first};
  std::atomic<std::int64_t> written{0};
  std::mutex mutex;
  std::size_t finished = 0;  // workers that have ended, under `mutex`
  std::condition_variable ended;
  std::exception_ptr failure;
  // Flecks a worker decodes at once: their digests run side by side (one vector lane
  // each), up to 16 and 32 MiB.
  const std::int64_t batch = std::clamp<std::int64_t>((std::int64_t{32} << 20) / fleckSize, 1, 16);
  const auto work = [&](zel::P<CFleck> fleck) {
    try {
      std::vector<zel::TBuffer<unsigned char>> buffers(static_cast<std::size_t>(batch));
      std::vector<zel::TBuffer<unsigned char>*> pointers;
      for (zel::TBuffer<unsigned char>& buffer : buffers)
        pointers.push_back(&buffer);
      for (std::int64_t from; (from = next.fetch_add(batch)) <= last;) {
        {
          const std::lock_guard<std::mutex> lock(mutex);
          if (failure) break;
        }
        const std::int64_t count = std::min(batch, last + 1 - from);
        try {
          fleck->readFlecks(from, static_cast<std::size_t>(count), pointers.data());
        } catch (const zel::CError& e) {
          // The error names the fleck that failed.
          const zel::String* failed = e.getProps().find("fleckIndex");
          const std::int64_t at = failed != nullptr ? zel::parseInt64(*failed, false) : from;
          throw readFailure(std::max(offset, at * fleckSize), e);
        }
        for (std::int64_t index = from; index < from + count; ++index) {
          const std::int64_t begin = std::max(offset, index * fleckSize);
          const std::int64_t stop = std::min(offset + length, (index + 1) * fleckSize);
          const zel::TBuffer<unsigned char>& payload =
              buffers[static_cast<std::size_t>(index - from)];
          if (static_cast<std::int64_t>(payload.getUsed()) < stop - index * fleckSize) {
            throw readFailure(begin, zel::CError("The fleck was cut short."));
          }
          output.writeAt(begin - offset, payload.getData() + (begin - index * fleckSize),
                         static_cast<std::size_t>(stop - begin));
          written += stop - begin;
        }
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
    }
    fleck = nullptr;  // its digests and ciphers go before the thread is counted out
    const std::lock_guard<std::mutex> lock(mutex);
    ++finished;
    ended.notify_all();
  };
  std::vector<std::thread> workers;
  try {
    for (int i = 0; i < threads && first + i <= last; ++i)
      workers.emplace_back(work, disk->newStandAloneFleckObject());
  } catch (...) {
    // The workers that run see the failure at their next claim.
    const std::lock_guard<std::mutex> lock(mutex);
    if (!failure) failure = std::current_exception();
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    // Progress every tenth of a second; the workers count themselves out when they end.
    while (!ended.wait_for(lock, std::chrono::milliseconds(100),
                           [&] { return finished == workers.size(); })) {
      lock.unlock();
      progress.update(written);
      lock.lock();
    }
  }
  for (std::thread& worker : workers)
    worker.join();
  stats.bytes = written;
  if (failure) std::rethrow_exception(failure);
}

void CExporter::runInOrder(std::int64_t offset, std::int64_t length, IImageSink& output,
                           IProgress& progress, keel::IDigest* digest, Stats& stats) {
  // A whole fleck per read: the stream hands over one fleck's payload at a time.
  const std::int64_t chunk = std::min<std::int64_t>(disk->getFleckSize(), 1 << 20);
  zel::TBuffer<unsigned char> buffer(static_cast<std::size_t>(chunk));
  buffer.setUsed(static_cast<std::size_t>(chunk));

  const auto* counted = dynamic_cast<const zel::CBase*>(fs.get());
  const long fsReferences = counted != nullptr ? counted->getRefCount() : 0;
  auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, threads);
  try {
    stream->seek(offset);
    while (stats.bytes < length) {
      const int n = static_cast<int>(std::min(chunk, length - stats.bytes));
      try {
        stream->read(buffer.getData(), n);
      } catch (const zel::CError& e) {
        throw readFailure(offset + stats.bytes, e);
      }
      output.write(buffer.getData(), static_cast<std::size_t>(n));
      if (digest != nullptr) digest->update(buffer.getData(), static_cast<std::size_t>(n));
      stats.bytes += n;
      progress.update(stats.bytes);
    }
  } catch (...) {
    stream->close();
    waitForReadThreadsToLetGo(fsReferences);
    throw;
  }
  stream->close();
  waitForReadThreadsToLetGo(fsReferences);
}

}  // namespace fleck::ops
