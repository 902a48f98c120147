#include "fleck/ops/CDoneWaiter.h"

namespace fleck::ops {

void CDoneWaiter::onDone(const zel::CError* error) {
  {
    zel::CMutexLock lock(mutex);
    if (error != nullptr) failure = error->clone();
  }
  done->set();
}

void CDoneWaiter::wait() {
  done->wait(-1);
  zel::P<zel::CError> error;
  {
    zel::CMutexLock lock(mutex);
    error = failure;
  }
  if (error != nullptr) error->throwClone();
}

}  // namespace fleck::ops
