#include "fleck/ops/CExporter.h"

#include <algorithm>
#include <chrono>
#include <thread>

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

CExporter::Stats CExporter::run(std::int64_t offset, std::int64_t length, IImageSink& output,
                                IProgress& progress, bool computeDigest) {
  const zel::CTime start = zel::CTime::now();
  Stats stats;
  zel::P<keel::IDigest> digest;
  if (computeDigest) zel::make<keel::CDigestType_SHA256>()->createDigest(digest);
  progress.start(length);
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
        throw COperationError(disk->getDiskFolder(),
                              "reading byte " + std::to_string(offset + stats.bytes) + " (fleck " +
                                  std::to_string((offset + stats.bytes) / disk->getFleckSize()) +
                                  ") failed: " + COperationError::describe(e));
      }
      output.write(buffer.getData(), static_cast<std::size_t>(n));
      if (computeDigest) digest->update(buffer.getData(), static_cast<std::size_t>(n));
      stats.bytes += n;
      progress.update(stats.bytes);
    }
    output.finish();
  } catch (...) {
    stream->close();
    waitForReadThreadsToLetGo(fsReferences);
    throw;
  }
  stream->close();
  waitForReadThreadsToLetGo(fsReferences);
  progress.finish(stats.bytes);
  stats.sparseBytes = output.getSkippedBytes();
  if (computeDigest) {
    digest->finish();
    stats.sha256 = zel::toHex(digest->getResult(), static_cast<std::size_t>(digest->getLength()));
  }
  stats.seconds = (zel::CTime::now() - start).getSeconds();
  return stats;
}

}  // namespace fleck::ops
