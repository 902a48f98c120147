#pragma once

#include "zel/CError.h"

namespace zel {

// A failure of a stream transfer or position change. The code tells callers what
// went wrong; the message is often empty, and the properties carry the context.
class CIOError : public CError {
 public:
  enum Code : int {
    Unknown = 0,
    SizeExceeded = 3,     // a write would pass the fixed size of the target
    EndOfStream = 4,      // fewer bytes than asked for were left
    InvalidPosition = 7,  // a seek outside the stream
    StreamClosed = 10,    // the stream was closed
    NotAligned = 11,      // a transfer that must start on a block boundary did not
    NotSupported = 13,    // the stream cannot do this (setLength on a fixed stream)
    InvalidData = 14,     // the bytes read do not form what was expected
  };

  CIOError(Code code, String message = String(), CProps props = CProps(),
           const CError* cause = nullptr);
  ZEL_ERROR_CLONE_OPERATIONS(CIOError)

  Code getIOCode() const noexcept { return static_cast<Code>(getCode()); }
};

}  // namespace zel
