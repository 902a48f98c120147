#pragma once

#include <cstdint>
#include <string>

#include "zel/CBase.h"
#include "zel/CURI.h"
#include "zel/IIOStream.h"

namespace zel {

// A file of the local file system as a stream, over a file descriptor. Made by
// zel::CLocalFileSystem::openStream.
//
// Reads and writes go straight to the operating system at the stream's own position
// (no buffer in between), so a write barrier is reached when it is made and flush()
// has nothing to hand over; a stream of a durable file system makes flush() wait until
// the file's contents are on the disk (fsync). Positions: seek takes 0 to getLength()
// inclusive, also on writable streams; a file grows by writing at its end or by
// setLength (the new part reads as zeros). Interrupted calls are repeated and short
// transfers continued. lockRange is not supported (zel::CFileSystemError Unsupported).
//
// Failures of the operating system are zel::CFileSystemError as CLocalFileSystem makes
// them; reading from a write-only or writing to a read-only stream is CIOError
// NotSupported. close() releases the descriptor; dropping the last reference closes
// too, and an error then is logged (zel::logError), not thrown.
//
// One caller at a time (the position is not guarded); distinct streams of one file
// are independent.
class CLocalFileStream final : public CBase, public virtual IIOStream {
 public:
  // Takes over `fd`, opened with `access` (an IIOStream::Access); `path` is its
  // operating-system path, for error reports.
  CLocalFileStream(int fd, CURI uri, std::string path, int access, bool durable) noexcept;
  ~CLocalFileStream() override;
  CLocalFileStream(const CLocalFileStream&) = delete;
  CLocalFileStream& operator=(const CLocalFileStream&) = delete;

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
  // Like readLax: a local file answers without waiting for anyone.
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

  // Waits until the file's contents and size are on the disk (fsync), whatever the
  // durable setting.
  void sync();

 private:
  void checkOpen() const;
  void checkReadable() const;
  void checkWritable() const;
  [[noreturn]] void throwSystemError(int errorNumber, const char* operation) const;

  int fd;  // -1 once closed
  const CURI uri;
  const std::string path;
  const bool readable;
  const bool writable;
  const bool durable;
  std::int64_t position = 0;
};

}  // namespace zel
