#pragma once

#include "zel/CBase.h"
#include "zel/CSignal.h"
#include "zel/IAsyncOperation.h"

namespace zel {

// The handle of one operation run by a zel::CCompletionPool. Whoever runs the operation
// calls markDone() once, after the listener has returned and its reference has been
// dropped. Thread-safe.
//
// Waiting for an operation from inside its own listener, or from a completion thread of
// the pool that runs it while every other thread of that pool waits too, never ends.
class CAsyncOperation final : public CBase, public virtual IAsyncOperation {
 public:
  CAsyncOperation() = default;
  CAsyncOperation(const CAsyncOperation&) = delete;
  CAsyncOperation& operator=(const CAsyncOperation&) = delete;

  bool isDone() const override { return done.isSet(); }
  bool waitDone(int timeoutMs) override { return done.wait(timeoutMs); }

  // Called once by the runner when the listener has returned.
  void markDone() { done.set(); }

 private:
  CSignal done;  // thread-safe itself
};

}  // namespace zel
