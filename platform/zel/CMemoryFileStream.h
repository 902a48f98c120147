#pragma once

#include <cstdint>
#include <memory>

#include "zel/CBase.h"
#include "zel/CMemoryFileSystem.h"
#include "zel/CURI.h"
#include "zel/IIOStream.h"

namespace zel {

// A file of a zel::CMemoryFileSystem as a stream; made by its openStream. Behaves as
// zel::CLocalFileStream: reads and writes reach the file at once (barriers are reached
// when made), seek takes 0 to getLength() inclusive, writing past the end of a file
// that another stream cut fills the gap with zeros, lockRange is Unsupported, reading
// a write-only stream (or the reverse) is CIOError NotSupported, a closed stream fails
// with StreamClosed. flush() makes the contents durable when the file system is in
// durable mode; sync() always. After a power failure of the file system every call
// fails with CFileSystemError Other.
//
// One caller at a time (the position is the stream's own, unguarded); the file's
// contents are guarded by the storage's mutex.
class CMemoryFileStream final : public CBase, public virtual IIOStream {
 public:
  CMemoryFileStream(std::shared_ptr<CMemoryFileSystem::Storage> storage,
                    std::shared_ptr<CMemoryFileSystem::Node> node, CURI uri, int access,
                    bool durable, std::uint64_t era) noexcept;
  ~CMemoryFileStream() override = default;
  CMemoryFileStream(const CMemoryFileStream&) = delete;
  CMemoryFileStream& operator=(const CMemoryFileStream&) = delete;

  // IStreamBase
  std::int64_t getLength() const override;
  std::int64_t getPosition() const override;
  CURI getURI() override { return uri; }
  void seek(std::int64_t position) override;
  P<IStreamLock> lockRange(std::int64_t offset, std::int64_t length, LockType type) override;
  void close() override;

  // IInStream
  void read(void* buffer, int count) override;
  int readLax(void* buffer, int count) override;
  int readAvailable(void* buffer, int count) override;
  bool waitReadable(int timeoutMs) const override;
  bool isEndOfStream() const override;
  int isEndOfStream_NonBlocking() const override;

  // IOutStream
  void write(const void* buffer, int count, IWriteBarrier* barrier) override;
  void writeKeepBuffer(TConstBufferSlice<unsigned char> slice, IWriteBarrier* barrier) override;
  P<IWriteBarrier> createWriteBarrier(IWriteBarrier* parent) override;
  void flush() override;
  void setLength(std::int64_t length) override;

  // Makes the contents durable, whatever the durable setting.
  void sync();

 private:
  // Checks that the stream is open (and readable or writable when asked) and that the
  // power did not fail since it was opened. Called with the storage's lock.
  void check(bool forRead, bool forWrite) const;

  const std::shared_ptr<CMemoryFileSystem::Storage> storage;
  const std::shared_ptr<CMemoryFileSystem::Node> node;
  const CURI uri;
  const bool readable;
  const bool writable;
  const bool durable;
  const std::uint64_t era;  // the storage's era when opened
  bool closed = false;
  std::int64_t position = 0;
};

}  // namespace zel
