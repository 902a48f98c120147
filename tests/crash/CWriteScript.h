#pragma once

#include <cstdint>
#include <vector>

namespace fleck::test {

// The writes of one crash round, the same in the writer process and in the test that
// replays them: each step writes bytes at a position; after some steps (always the
// last) the writer flushes, and now and then reopens the disk. Deterministic for a seed.
class CWriteScript {
 public:
  static constexpr int kFleckSize = 4096;
  static constexpr std::int64_t kDiskSize = 48 * kFleckSize + 100;  // the last fleck is short
  static constexpr int kFlecks = 49;

  struct Step {
    std::int64_t position = 0;
    std::vector<unsigned char> bytes;
    bool flushAfter = false;
    bool reopenAfter = false;  // only with flushAfter
  };

  CWriteScript(std::uint64_t seed, int steps);

  int size() const { return static_cast<int>(steps.size()); }
  const Step& step(int index) const { return steps[static_cast<std::size_t>(index)]; }

 private:
  std::vector<Step> steps;
};

}  // namespace fleck::test
