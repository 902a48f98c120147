#pragma once

#include "zel/IStreamBase.h"

namespace zel {

// A stream to read from.
class IInStream : public virtual IStreamBase {
 public:
  // Reads exactly `count` bytes, or throws (CIOError EndOfStream when the stream ends
  // first; the bytes before the end may have been copied).
  virtual void read(void* buffer, int count) = 0;
  // Reads up to `count` bytes, fewer only at the end; returns the number read.
  virtual int readLax(void* buffer, int count) = 0;
  // Reads what is available without waiting (at least one byte unless at the end).
  virtual int readAvailable(void* buffer, int count) = 0;
  // Waits up to timeoutMs (-1: no limit) until a read would not block.
  virtual bool waitReadable(int timeoutMs) const = 0;
  virtual bool isEndOfStream() const = 0;
  // 1 at the end, 0 before it, -1 when that cannot be told without waiting.
  virtual int isEndOfStream_NonBlocking() const = 0;
};

}  // namespace zel
