#pragma once

#include <cstdint>

#include "fleck/CFleckDisk.h"
#include "zel/CBase.h"
#include "zel/CURI.h"
#include "zel/IIOStream.h"
#include "zel/P.h"

namespace fleck {

// An open fleck disk seen as a stream.
//
// The stream keeps no position of its own: it reads, writes and seeks the disk's one
// position, so two streams over one disk (or the disk used directly) move each other.
// Its length is a virtual length, which starts at the disk size: seeks stay within it,
// reads through readLax stop at it, writes past it raise it, and setVirtualLength sets
// it (also beyond the disk size; the disk's own end still holds for transfers). read()
// is not bounded by it, only by the disk.
//
// Ownership: the stream holds a counted reference to the disk until it is closed or
// ends; a directly owned disk must outlive it (or the stream must be closed first).
// Copies share the disk.
//
// Failures: every operation except getURI, lockRange and close throws zel::CIOError
// StreamClosed (10) on a closed stream. The disk's errors pass through unchanged; after
// one the position is wherever the disk left it.
//
// Threads: like the disk, one caller at a time; no lock. Streams sharing a disk must
// not be used at the same time either.
class CFleckDiskStream final : public zel::CBase, public virtual zel::IIOStream {
 public:
  // Takes a reference to `disk`. Throws zel::CInvalidArgError for a null disk.
  explicit CFleckDiskStream(CFleckDisk* disk);
  CFleckDiskStream(const CFleckDiskStream& other);
  CFleckDiskStream& operator=(const CFleckDiskStream& other);
  // Drops the disk reference; never throws.
  ~CFleckDiskStream() override;

  // IStreamBase
  // The virtual length.
  std::int64_t getLength() const override;
  // The disk's position.
  std::int64_t getPosition() const override;
  // The disk folder; answers also after close.
  zel::CURI getURI() override;
  // 0 to getLength() inclusive, else zel::CIOError InvalidPosition (7), nothing moved.
  void seek(std::int64_t position) override;
  // Always zel::CFileSystemError Unsupported (6), open or closed.
  zel::P<zel::IStreamLock> lockRange(std::int64_t offset, std::int64_t length,
                                     LockType type) override;
  // Drops the disk reference. Closing a closed stream does nothing.
  void close() override;

  // IInStream
  // Exactly `count` bytes from the disk, or the disk's error (EndOfStream at the disk's
  // end; the bytes before it are copied).
  void read(void* buffer, int count) override;
  // Up to the virtual length. A position beyond the virtual length (another stream or
  // the disk moved it there) reads nothing and returns 0.
  int readLax(void* buffer, int count) override;
  int readAvailable(void* buffer, int count) override;
  // Never waits: the disk is always readable.
  bool waitReadable(int timeoutMs) const override;
  bool isEndOfStream() const override;
  int isEndOfStream_NonBlocking() const override;

  // IOutStream
  // Writes through the disk (which throws at its end or when read-only) and raises the
  // virtual length to the new position when it passes it. `barrier` is not used: the
  // disk stores on flush.
  void write(const void* buffer, int count, zel::IWriteBarrier* barrier) override;
  void writeKeepBuffer(zel::TConstBufferSlice<unsigned char> slice,
                       zel::IWriteBarrier* barrier) override;
  // Flushes, then returns a barrier that is already reached.
  zel::P<zel::IWriteBarrier> createWriteBarrier(zel::IWriteBarrier* parent) override;
  // Waits until the disk has stored every change (CFleckDisk::flushChanges).
  void flush() override;
  // The disk size is fixed: always zel::CIOError NotSupported (13) (StreamClosed first
  // on a closed stream). Use setVirtualLength.
  void setLength(std::int64_t length) override;

  // Sets the virtual length; no upper bound. A position beyond `length` is first moved
  // to it, so a negative length fails with InvalidPosition and changes nothing.
  void setVirtualLength(std::int64_t length);

 private:
  void checkOpen() const;

  zel::P<CFleckDisk> disk;  // null once closed
  zel::CURI uri;
  std::int64_t virtualLength;
};

}  // namespace fleck
