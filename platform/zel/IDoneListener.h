#pragma once

#include "zel/IBase.h"

namespace zel {

class CError;

// Told once when an asynchronous operation has ended.
class IDoneListener : public virtual IBase {
 public:
  // `error` is null on success. Called on a completion thread of whoever ran the
  // operation, never inside the call that started it. The error is valid only during
  // the call; clone it to keep it.
  virtual void onDone(const CError* error) = 0;
};

}  // namespace zel
