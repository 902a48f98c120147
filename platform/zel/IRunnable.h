#pragma once

#include "zel/IBase.h"

namespace zel {

// Work for a CThread that is not a CThread itself.
class IRunnable : public virtual IBase {
 public:
  virtual void run() = 0;
};

}  // namespace zel
