#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fleck::test {

// A fuzz target; fuzz/README.md describes its input and laws. `run` returns when the
// library accepted the input or refused it with a zel::CError; a broken law ends the
// process with __builtin_trap(). The fuzzers and the replay test call the same entries,
// which keep per-process state (a scratch folder under $TMPDIR) and are for one thread.
struct FuzzTarget {
  std::string_view name;  // also the folder under fuzz/corpus and fuzz/regressions
  void (*run)(const std::uint8_t* data, std::size_t size);
  // Valid inputs made with the library's writers (name, bytes); null where the seeds
  // are hand-made data only.
  std::vector<std::pair<std::string, std::string>> (*makeSeeds)();
};

const std::vector<FuzzTarget>& getFuzzTargets();

}  // namespace fleck::test
