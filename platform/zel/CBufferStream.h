#pragma once

#include <cstdint>

#include "zel/CBase.h"
#include "zel/IIOStream.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace zel {

// A stream over a byte buffer in memory. Its length is the buffer's used length; a
// write past the end grows the buffer, its capacity by the growth factor (at least to
// what the write needs), so that appending many small pieces stays linear.
// The read-only form reads a buffer that others own; every writing operation then
// throws zel::CIOError NotSupported. A negative byte count throws
// zel::CInvalidArgError, as the file streams do. Not thread-safe.
class CBufferStream : public CBase, public virtual IIOStream {
 public:
  struct ReadOnly {};

  // Writes into `buffer`, or into a buffer of its own when none is given, starting at
  // position 0 (so writing appends to an empty buffer).
  explicit CBufferStream(P<TBuffer<unsigned char>> buffer = nullptr, double growthFactor = 2.0);
  // Reads `buffer`, which must stay unchanged while the stream reads it.
  CBufferStream(const TBuffer<unsigned char>* buffer, ReadOnly);
  ~CBufferStream() override;

  // The buffer written to (null for the read-only form).
  P<TBuffer<unsigned char>> getBuffer() const { return writable; }

  // IStreamBase
  std::int64_t getLength() const override;
  std::int64_t getPosition() const override;
  CURI getURI() override { return CURI(); }
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

 private:
  void checkOpen() const;
  void checkWritable() const;

  P<TBuffer<unsigned char>> writable;  // null when read-only
  PC<TBuffer<unsigned char>> readable;
  double growthFactor;
  std::int64_t position = 0;
  bool closed = false;
};

}  // namespace zel
