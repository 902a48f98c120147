#pragma once

#include "zel/IBase.h"

namespace zel {

// Marks a point in a stream's writes: it is reached when every write made before it
// was created is stored.
class IWriteBarrier : public virtual IBase {
 public:
  // Waits up to timeoutMs milliseconds (-1: no limit) for the barrier; true when reached.
  virtual bool waitReached(int timeoutMs) = 0;
};

}  // namespace zel
