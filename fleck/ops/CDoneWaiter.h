#pragma once

#include "zel/CBase.h"
#include "zel/CError.h"
#include "zel/CMutex.h"
#include "zel/CSignal.h"
#include "zel/IDoneListener.h"
#include "zel/P.h"

namespace fleck::ops {

// Lets a thread wait for one asynchronous file-system operation: the operation's
// listener, whose wait() returns when it ended and throws its error. Heap only (the
// file system holds a counted reference while the operation runs).
class CDoneWaiter final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  CDoneWaiter() = default;
  CDoneWaiter(const CDoneWaiter&) = delete;
  CDoneWaiter& operator=(const CDoneWaiter&) = delete;

  // Called once, on a completion thread.
  void onDone(const zel::CError* error) override;
  // Waits without limit; rethrows the operation's error.
  void wait();

 private:
  zel::CMutex mutex;  // guards failure
  zel::P<zel::CError> failure;
  const zel::P<zel::CSignal> done = zel::make<zel::CSignal>();
};

}  // namespace fleck::ops
