#pragma once

#include <cstdint>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskStream.h"
#include "zel/CBase.h"
#include "zel/CMemPool.h"
#include "zel/CURI.h"
#include "zel/IIOStream.h"
#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TMostRecentlyUsedCache.h"

namespace fleck {

// A read-write stream over an open fleck disk that keeps the whole payloads of the most
// recently used flecks in memory, so that small scattered reads do not go through the
// disk's single fleck object (which reloads a fleck on every change of fleck).
//
// The stream has its own position and length; it reaches the disk through a
// CFleckDiskStream of its own, seeking that stream before every transfer. The length
// starts at the disk size and behaves like that stream's virtual length (writes past it
// raise it; setVirtualLength sets it). Writes go through to the disk at once; a cached
// fleck is updated in place, an uncached one is loaded after the write.
//
// The cache holds 32 MiB worth of flecks, at least 10 (computeCacheCapacity). It is
// coherent only while every change of the disk goes through this object: bytes that
// other users write into a cached fleck stay unseen until it is evicted.
//
// Bytes beyond the disk's end (the length may be set past it) cannot be read or
// written: transfers there fail with zel::CIOError EndOfStream, as the disk's own do.
//
// Failures: every operation except getURI, lockRange and close throws zel::CIOError
// StreamClosed (10) on a closed stream. A transfer that fails part-way keeps what the
// pieces before the failure did (bytes copied or written, position and length
// advanced). A write whose disk write fails drops that fleck from the cache, so the
// cache never holds bytes the disk lacks; a fleck that cannot be loaded after its
// bytes were written fails the write with those bytes written and counted. A failed
// load caches nothing.
//
// Ownership: the stream holds a counted reference to the disk until closed or ended; a
// directly owned disk must outlive it. Copying is not supported.
//
// Threads: one caller at a time; no lock (the cache and pool are used by that caller
// only). Others may use the disk between calls (every transfer seeks first), never
// during one.
class CFleckDiskStreamWithCache final : public zel::CBase, public virtual zel::IIOStream {
 public:
  // Takes a reference to `disk`. Throws zel::CInvalidArgError for a null disk.
  explicit CFleckDiskStreamWithCache(CFleckDisk* disk);
  CFleckDiskStreamWithCache(const CFleckDiskStreamWithCache&) = delete;
  CFleckDiskStreamWithCache& operator=(const CFleckDiskStreamWithCache&) = delete;
  // Closes the inner stream when still open; never throws.
  ~CFleckDiskStreamWithCache() override;

  // Flecks kept for a fleck size: 32 MiB / fleckSize, at least 10.
  static int computeCacheCapacity(int fleckSize);

  // IStreamBase
  std::int64_t getLength() const override;
  std::int64_t getPosition() const override;
  // The disk folder; answers also after close.
  zel::CURI getURI() override;
  // 0 to getLength() inclusive, else zel::CIOError InvalidPosition (7); the disk is not
  // touched.
  void seek(std::int64_t position) override;
  // Always zel::CFileSystemError Unsupported (6), open or closed.
  zel::P<zel::IStreamLock> lockRange(std::int64_t offset, std::int64_t length,
                                     LockType type) override;
  // Closes and drops the inner stream; the cache's memory goes with this object.
  // Closing a closed stream does nothing.
  void close() override;

  // IInStream
  // Exactly `count` bytes, or zel::CIOError EndOfStream (4, property "uri") at the
  // length; the bytes before it are copied and the position stays after them.
  void read(void* buffer, int count) override;
  // Up to the length; returns the number read.
  int readLax(void* buffer, int count) override;
  int readAvailable(void* buffer, int count) override;
  // Never waits.
  bool waitReadable(int timeoutMs) const override;
  bool isEndOfStream() const override;
  int isEndOfStream_NonBlocking() const override;

  // IOutStream
  // Writes through to the disk, fleck by fleck; raises the length when it passes it.
  // A write that would pass the disk's end fails with zel::CIOError EndOfStream (4,
  // property "uri") before anything is written. `barrier` is not used: the disk stores
  // on flush.
  void write(const void* buffer, int count, zel::IWriteBarrier* barrier) override;
  void writeKeepBuffer(zel::TConstBufferSlice<unsigned char> slice,
                       zel::IWriteBarrier* barrier) override;
  // Flushes, then returns a barrier that is already reached.
  zel::P<zel::IWriteBarrier> createWriteBarrier(zel::IWriteBarrier* parent) override;
  // Waits until the disk has stored every change.
  void flush() override;
  // Always zel::CIOError NotSupported (13) (StreamClosed first on a closed stream).
  void setLength(std::int64_t length) override;

  // Sets the length (and the inner stream's virtual length); no upper bound. A position
  // beyond `length` is first moved to it, so a negative length fails with
  // InvalidPosition and changes nothing. When the length grows, cached flecks that
  // were loaded short (the length ended inside them) are dropped, to be loaded again
  // with the bytes now inside the length.
  void setVirtualLength(std::int64_t length);

  // For tests and diagnostics: the cache's capacity, flecks loaded from the disk so
  // far, and whether a fleck is cached (without changing the recency order).
  int getCacheCapacity() const noexcept { return cache->getCapacity(); }
  std::int64_t getFleckLoadCount() const noexcept { return fleckLoadCount; }
  bool isFleckCached(std::int64_t fleckIndex) const { return cache->contains(fleckIndex); }

 private:
  using Cache = zel::TMostRecentlyUsedCache<std::int64_t, zel::P<zel::TBuffer<unsigned char>>>;

  void checkOpen() const;
  [[noreturn]] void throwEndOfStream() const;
  // The cached payload of fleck `index`, made the most recent; null on a miss. The
  // cache owns it; it stays valid until the next change of the cache.
  zel::TBuffer<unsigned char>* findFleck(std::int64_t index);
  // Reads fleck `index` (up to the length and the disk's end) through the inner stream
  // and caches it as the most recent. On failure nothing is cached.
  zel::TBuffer<unsigned char>* loadFleck(std::int64_t index);
  // Drops the shortcut to the last used entry; called before entries are removed.
  void forgetFlecks() noexcept;

  zel::CURI uri;
  int fleckSize;
  std::int64_t diskSize;
  zel::P<CFleckDiskStream> stream;  // null once closed
  std::int64_t position = 0;
  std::int64_t length;
  // The pool is on the heap: lent buffers keep their pool alive, so the order in which
  // the cache and the pool go does not matter.
  zel::P<zel::CMemPool> pool;
  zel::P<Cache> cache;
  // The entry used last (owned by the cache): always the most recent one, so never the
  // one an insert evicts. -1 and null when unknown.
  std::int64_t lastIndex = -1;
  zel::TBuffer<unsigned char>* lastPayload = nullptr;
  std::int64_t fleckLoadCount = 0;
};

}  // namespace fleck
