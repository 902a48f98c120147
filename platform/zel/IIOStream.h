#pragma once

#include "zel/IInStream.h"
#include "zel/IOutStream.h"

namespace zel {

// A stream to read and write.
class IIOStream : public virtual IInStream, public virtual IOutStream {
 public:
  // How a stream is opened.
  enum Access : int { AccessRead = 1, AccessWrite = 2, AccessReadWrite = 3 };
};

}  // namespace zel
