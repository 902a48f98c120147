#include "CExporter.h"

#include <algorithm>

#include "CCliError.h"
#include "CDiskAccess.h"
#include "CSha256.h"
#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"
#include "zel/CTime.h"
#include "zel/TBuffer.h"

namespace fleck::cli {

CExporter::CExporter(zel::P<CFleckDisk> disk, int threads)
    : disk(std::move(disk)), threads(std::max(threads, 1)) {}

CExporter::Stats CExporter::run(std::int64_t offset, std::int64_t length, COutputFile& output,
                                CProgress& progress, bool computeDigest) {
  const zel::CTime start = zel::CTime::now();
  Stats stats;
  CSha256 digest;
  progress.setTotal(length);
  // A whole fleck per read: the stream hands over one fleck's payload at a time.
  const std::int64_t chunk = std::min<std::int64_t>(disk->getFleckSize(), 1 << 20);
  zel::TBuffer<unsigned char> buffer(static_cast<std::size_t>(chunk));
  buffer.setUsed(static_cast<std::size_t>(chunk));

  auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, threads);
  try {
    stream->seek(offset);
    while (stats.bytes < length) {
      const int n = static_cast<int>(std::min(chunk, length - stats.bytes));
      try {
        stream->read(buffer.getData(), n);
      } catch (const zel::CError& e) {
        throw CCliError::failure(
            zel::String::fromUTF8(CDiskAccess::show(disk->getDiskFolder()) + ": reading byte " +
                                  std::to_string(offset + stats.bytes) + " (fleck " +
                                  std::to_string((offset + stats.bytes) / disk->getFleckSize()) +
                                  ") failed: " + CCliError::describe(e)));
      }
      output.write(buffer.getData(), static_cast<std::size_t>(n));
      if (computeDigest)
        digest.update(buffer.getData(), static_cast<std::size_t>(n));
      stats.bytes += n;
      progress.update(stats.bytes);
    }
    output.finish();
  } catch (...) {
    stream->close();
    throw;
  }
  stream->close();
  progress.finish(stats.bytes);
  stats.sparseBytes = output.getSkippedBytes();
  if (computeDigest)
    stats.sha256 = digest.finishHex();
  stats.seconds = (zel::CTime::now() - start).getSeconds();
  return stats;
}

}  // namespace fleck::cli
