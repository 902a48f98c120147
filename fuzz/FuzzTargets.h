#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fleck::test {

// A fuzz target. `run` returns when the library accepted the input or refused it with a
// zel::CError; a broken law ends the process with __builtin_trap(), any other exception
// leaves it. The fuzzers (entry.cpp) and the replay test call the same entries; they
// keep per-process state (preparers, a scratch folder under $TMPDIR) and are meant for
// one thread. fuzz/README.md describes each target's input and laws.
struct FuzzTarget {
  std::string_view name;  // also the folder under fuzz/corpus and fuzz/regressions
  void (*run)(const std::uint8_t* data, std::size_t size);
  // Valid inputs made with the library's own writers: file name and bytes.
  std::vector<std::pair<std::string, std::string>> (*makeSeeds)();
};

const std::vector<FuzzTarget>& getFuzzTargets();

}  // namespace fleck::test
