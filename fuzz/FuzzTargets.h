#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fleck::test {

// A fuzz target, for the fuzzers and the replay test; fuzz/README.md gives its laws.
struct FuzzTarget {
  std::string_view name;  // also the folder under fuzz/corpus and fuzz/regressions
  void (*run)(const std::uint8_t* data, std::size_t size);
  // Valid inputs made with the library's writers (name, bytes); null for hand-made seeds.
  std::vector<std::pair<std::string, std::string>> (*makeSeeds)();
};

const std::vector<FuzzTarget>& getFuzzTargets();

}  // namespace fleck::test
