#include "crash/CWriteScript.h"

#include <algorithm>
#include <random>

namespace fleck::test {

CWriteScript::CWriteScript(std::uint64_t seed, int count) : steps(count) {
  // The generator's raw output only (no distributions): both processes agree whatever
  // the standard library's distributions do.
  std::mt19937_64 random(seed);
  const auto pick = [&random](std::uint64_t limit) { return random() % (limit + 1); };
  for (Step& step : steps) {
    // Whole flecks now and then (replaced without loading), else up to three flecks
    // across fleck boundaries.
    const bool whole = pick(3) == 0;
    step.position = static_cast<std::int64_t>(pick(kDiskSize - 1));
    if (whole) step.position -= step.position % kFleckSize;
    const std::int64_t room = kDiskSize - step.position;
    step.bytes.resize(whole ? std::min<std::int64_t>(kFleckSize, room)
                            : 1 + pick(std::min<std::int64_t>(3 * kFleckSize, room) - 1));
    // Zeros (a whole zero fleck removes its file), runs (compressible) or noise.
    const auto kind = pick(3);
    const auto run = static_cast<unsigned char>(random());
    for (auto& b : step.bytes)
      b = kind == 0 ? 0 : kind == 1 ? run : static_cast<unsigned char>(random());
    step.flushAfter = pick(7) == 0;
    step.reopenAfter = step.flushAfter && pick(3) == 0;
  }
  if (count > 0) steps.back().flushAfter = true;
}

}  // namespace fleck::test
