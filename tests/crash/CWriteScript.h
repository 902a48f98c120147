#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace fleck::test {

// The writes of one crash round, the same in the writer process and in the test that
// replays them: bytes at a position, after some steps (always the last) a flush. Only the
// generator's raw output is used, so both agree whatever the standard library.
struct CWriteScript {
  static constexpr int kFleckSize = 4096;
  static constexpr std::int64_t kDiskSize = 48 * kFleckSize + 100;  // the last fleck is short
  struct Step {
    std::int64_t position = 0;
    std::vector<unsigned char> bytes;
    bool flushAfter = false;
  };
  std::vector<Step> steps;

  CWriteScript(std::uint64_t seed, int count) : steps(count) {
    std::mt19937_64 random(seed);
    const auto pick = [&random](std::uint64_t limit) { return random() % (limit + 1); };
    for (Step& step : steps) {
      // Whole flecks (replaced without loading), or up to three across fleck boundaries.
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
      step.flushAfter = pick(7) == 0 || &step == &steps.back();
    }
  }
};

}  // namespace fleck::test
