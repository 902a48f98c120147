#pragma once

#include <cstdint>

#include "zel/CURI.h"
#include "zel/IBase.h"
#include "zel/IStreamLock.h"
#include "zel/P.h"

namespace zel {

// What every stream has: a length, a position and a location. Failures are
// zel::CIOError (codes in CIOError::Code) or zel::CFileSystemError. A stream serves one
// caller at a time unless its class says otherwise.
class IStreamBase : public virtual IBase {
 public:
  enum LockType : int { LockShared = 1, LockExclusive = 2 };

  // Length in bytes, or -1 when unknown.
  virtual std::int64_t getLength() const = 0;
  virtual std::int64_t getPosition() const = 0;
  virtual CURI getURI() = 0;
  // Moves the position; 0 to getLength() inclusive, else CIOError InvalidPosition.
  virtual void seek(std::int64_t position) = 0;
  virtual P<IStreamLock> lockRange(std::int64_t offset, std::int64_t length, LockType type) = 0;
  // Ends the stream's use; later operations fail with CIOError StreamClosed. Closing a
  // closed stream does nothing.
  virtual void close() = 0;
};

}  // namespace zel
