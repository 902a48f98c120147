#pragma once

#include "zel/IStreamBase.h"
#include "zel/IWriteBarrier.h"
#include "zel/TConstBufferSlice.h"

namespace zel {

// A stream to write to.
class IOutStream : public virtual IStreamBase {
 public:
  // Writes `count` bytes at the position and advances it. `barrier` may be null.
  virtual void write(const void* buffer, int count, IWriteBarrier* barrier) = 0;
  // Writes the slice; the stream may keep the slice's buffer instead of copying it.
  virtual void writeKeepBuffer(TConstBufferSlice<unsigned char> slice, IWriteBarrier* barrier) = 0;
  // A barrier after every write made so far. `parent` may be null.
  virtual P<IWriteBarrier> createWriteBarrier(IWriteBarrier* parent) = 0;
  virtual void flush() = 0;
  virtual void setLength(std::int64_t length) = 0;
};

}  // namespace zel
