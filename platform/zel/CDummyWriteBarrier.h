#pragma once

#include "zel/CBase.h"
#include "zel/IWriteBarrier.h"

namespace zel {

// A barrier that is reached when it is made: for streams that store each write (or
// flush) before they create a barrier.
class CDummyWriteBarrier final : public CBase, public virtual IWriteBarrier {
 public:
  bool waitReached(int /*timeoutMs*/) override { return true; }
};

}  // namespace zel
