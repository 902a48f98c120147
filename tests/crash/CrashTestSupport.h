#pragma once

#include <cstdlib>
#include <string>

namespace fleck::crashtest {

// How many rounds a crash test runs: `rounds` in a plain build, a third of it (at least
// 2) under a sanitizer; FLECK_CRASH_ROUNDS sets the number.
inline int scaledRounds(int rounds) {
  if (const char* text = std::getenv("FLECK_CRASH_ROUNDS")) return std::max(1, std::atoi(text));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return std::max(2, rounds / 3);
#else
  return rounds;
#endif
}

// FLECK_TEST_SEED, when set, replaces the test's own seed.
inline unsigned seedFromEnvironment(unsigned fallback) {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return text != nullptr ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

}  // namespace fleck::crashtest
