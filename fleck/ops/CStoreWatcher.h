#pragma once

#include <cstdint>
#include <string>

#include "zel/CBase.h"
#include "zel/CError.h"
#include "zel/CMutex.h"
#include "zel/IDoneListener.h"
#include "zel/P.h"

namespace fleck::ops {

// The listener of every store an import starts: counts the stores that ended and the
// ones that failed, and keeps the first failure, so that a failed background store
// can never end in a reported success. Heap only (storers hold counted references);
// told on the file system's completion threads, read by the importing thread.
class CStoreWatcher final : public zel::CBase, public virtual zel::IDoneListener {
 public:
  CStoreWatcher() = default;
  CStoreWatcher(const CStoreWatcher&) = delete;
  CStoreWatcher& operator=(const CStoreWatcher&) = delete;

  void onDone(const zel::CError* error) override;

  std::int64_t getEnded() const;
  std::int64_t getFailed() const;
  // The first failure's text, or empty.
  std::string getFirstFailure() const;

 private:
  mutable zel::CMutex mutex;  // guards the three members below
  std::int64_t ended = 0;
  std::int64_t failed = 0;
  std::string firstFailure;
};

}  // namespace fleck::ops
