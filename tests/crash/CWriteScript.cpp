#include "crash/CWriteScript.h"

#include <algorithm>
#include <random>

namespace fleck::test {

CWriteScript::CWriteScript(std::uint64_t seed, int count) {
  // The generator's raw output only (no distributions), so both processes agree
  // whatever the library's distribution code does.
  std::mt19937_64 random(seed);
  auto pick = [&random](std::uint64_t limit) { return random() % (limit + 1); };
  steps.resize(static_cast<std::size_t>(count));
  for (Step& step : steps) {
    // Whole flecks now and then (replaced without loading), else anything up to three
    // flecks long, crossing fleck boundaries.
    const bool whole = pick(3) == 0;
    std::int64_t position = static_cast<std::int64_t>(pick(kDiskSize - 1));
    std::int64_t length = 0;
    if (whole) {
      position -= position % kFleckSize;
      length = std::min<std::int64_t>(kFleckSize, kDiskSize - position);
    } else {
      length = 1 + static_cast<std::int64_t>(
                       pick(std::min<std::int64_t>(3 * kFleckSize, kDiskSize - position) - 1));
    }
    step.position = position;
    step.bytes.resize(static_cast<std::size_t>(length));
    // Zeros (a whole zero fleck removes its file), runs (compressible) or noise.
    const auto kind = pick(3);
    const auto run = static_cast<unsigned char>(random());
    for (auto& b : step.bytes) {
      b = kind == 0 ? 0 : kind == 1 ? run : static_cast<unsigned char>(random());
    }
    step.flushAfter = pick(7) == 0;
    step.reopenAfter = step.flushAfter && pick(3) == 0;
  }
  if (!steps.empty()) steps.back().flushAfter = true;
}

}  // namespace fleck::test
