#pragma once

#include <cstdint>

#include "fleck/CFleck.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CParallelReadAheadManager.h"
#include "zel/CBase.h"
#include "zel/CMemPool.h"
#include "zel/CThread.h"
#include "zel/IInStream.h"
#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TList.h"

namespace fleck {

// A read-only stream over an open disk for fast sequential reading: read threads, each
// with a fleck object of its own, load and unprepare the flecks ahead of the reader in
// parallel, and the stream takes their payloads in fleck order from a
// CParallelReadAheadManager. Memory stays bounded: at most one fleck per thread is in
// flight, in buffers from a pool of threads + 2. Seeking is allowed; reading ahead then
// restarts at the new fleck when the next read reaches it.
//
// Threads: the caller's thread runs every stream operation, one at a time; the read
// threads share only the manager (locked) and the buffer pool (thread-safe) with it.
// A fleck that a read thread failed to read is reported by the read that reaches it.
class CFleckDiskStreamWithParallelReadAhead : public zel::CBase, public virtual zel::IInStream {
 public:
  // Starts `threadCount` read threads (at least 1, else zel::CInvalidArgError), which
  // begin reading ahead from fleck 0 at once.
  CFleckDiskStreamWithParallelReadAhead(CFleckDisk* disk, int threadCount);
  // Closes the stream; errors are logged.
  ~CFleckDiskStreamWithParallelReadAhead() override;
  CFleckDiskStreamWithParallelReadAhead(const CFleckDiskStreamWithParallelReadAhead&) = delete;
  CFleckDiskStreamWithParallelReadAhead& operator=(const CFleckDiskStreamWithParallelReadAhead&) =
      delete;

  // IStreamBase. getLength and getURI answer also when closed; lockRange is not
  // supported (zel::CFileSystemError problem 6); closed streams throw zel::CIOError
  // StreamClosed (10) for the rest; seek outside 0 to the length is InvalidPosition (7).
  std::int64_t getLength() const override { return length; }
  std::int64_t getPosition() const override;
  zel::CURI getURI() override { return uri; }
  void seek(std::int64_t position) override;
  zel::P<zel::IStreamLock> lockRange(std::int64_t offset, std::int64_t length,
                                     LockType type) override;
  // Stops the manager (which wakes every waiting thread) and then every read thread,
  // and returns when they have ended: none of them can be blocked for good by then.
  // Closing a closed stream does nothing.
  void close() override;

  // IInStream. read delivers exactly `count` bytes or throws (EndOfStream (4) with the
  // bytes before the end copied); readLax copies up to `count`, fewer only at the end.
  void read(void* buffer, int count) override;
  int readLax(void* buffer, int count) override;
  int readAvailable(void* buffer, int count) override { return readLax(buffer, count); }
  bool waitReadable(int /*timeoutMs*/) const override { return true; }
  bool isEndOfStream() const override;
  int isEndOfStream_NonBlocking() const override { return isEndOfStream() ? 1 : 0; }

 private:
  class CReadThread;

  void checkOpen() const;

  zel::P<CFleckDisk> disk;  // null once closed
  std::int64_t fleckSize;
  zel::CURI uri;
  zel::P<CParallelReadAheadManager> manager;
  zel::TList<zel::P<CReadThread>> readThreads;
  std::int64_t position = 0;
  std::int64_t length;
  zel::P<zel::TBuffer<unsigned char>> currentData;
  std::int64_t currentIndex = -1;
  zel::P<zel::CMemPool> pool;
};

}  // namespace fleck
