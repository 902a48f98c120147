#pragma once

#include "zel/IBase.h"

namespace zel {

// Handle of a started asynchronous operation. Dropping it does not cancel anything;
// the operation still ends and tells its listener.
class IAsyncOperation : public virtual IBase {
 public:
  // True once the operation has ended and its listener has returned.
  virtual bool isDone() const = 0;
  // Waits up to timeoutMs (-1: no limit) for isDone().
  virtual bool waitDone(int timeoutMs) = 0;
};

}  // namespace zel
