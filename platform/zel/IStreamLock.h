#pragma once

#include "zel/IBase.h"

namespace zel {

// A locked byte range of a stream; dropping the last reference unlocks it.
class IStreamLock : public virtual IBase {
 public:
  // Unlocks at once; later calls do nothing.
  virtual void unlock() = 0;
};

}  // namespace zel
