#pragma once

#include <cstdint>

namespace fleck::ops {

// Told how long work goes on, in bytes: a program shows it as it likes. Called by the
// thread that runs the operation.
class IProgress {
 public:
  virtual ~IProgress() = default;

  // The work begins; `total` bytes, or -1 when not known before the end.
  virtual void start(std::int64_t total) = 0;
  // `done` bytes so far; called often, so it should return quickly.
  virtual void update(std::int64_t done) = 0;
  // The work has ended with `done` bytes.
  virtual void finish(std::int64_t done) = 0;
};

}  // namespace fleck::ops
