#pragma once

#include <cstdint>
#include <vector>

namespace fleck::test {

// The writes of one crash round, the same in the writer process and in the test that
// replays them: bytes at a position, after some steps (always the last) a flush and now
// and then a reopen. Deterministic for a seed.
struct CWriteScript {
  static constexpr int kFleckSize = 4096;
  static constexpr std::int64_t kDiskSize = 48 * kFleckSize + 100;  // the last fleck is short
  static constexpr int kFlecks = 49;
  struct Step {
    std::int64_t position = 0;
    std::vector<unsigned char> bytes;
    bool flushAfter = false;
    bool reopenAfter = false;  // only with flushAfter
  };

  CWriteScript(std::uint64_t seed, int count);
  std::vector<Step> steps;
};

}  // namespace fleck::test
