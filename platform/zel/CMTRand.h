#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

#include "zel/CBase.h"
#include "zel/CMutex.h"

namespace zel {

// A Mersenne Twister generator. Fast and well distributed, not a cryptographic
// generator: use it for salts and test data, never for keys or initialisation vectors
// (keel takes those from OpenSSL). Not thread-safe: the global instance is used under
// getGlobalInstanceMutex().
class CMTRand final : public CBase {
 public:
  // Seeded from the operating system's entropy.
  CMTRand();
  // Seeded with a fixed value, for repeatable tests.
  explicit CMTRand(std::uint64_t seed);

  std::uint32_t randInt() { return static_cast<std::uint32_t>(engine()); }
  // The first draw is the high half. Two statements: the operands of `|` may be
  // evaluated in either order, which would make a seeded sequence compiler-dependent.
  std::uint64_t randInt64() {
    const std::uint64_t high = randInt();
    return (high << 32) | randInt();
  }
  // A number from 0 to limit - 1. Throws zel::CInvalidArgError for a limit of 0, which
  // would otherwise give any 64-bit number.
  std::uint64_t randBelow(std::uint64_t limit);
  // Fills `count` bytes at `out`.
  void randData(void* out, std::size_t count);

  static CMTRand* getGlobal();
  static CMutex& getGlobalInstanceMutex();

 private:
  std::mt19937 engine;
};

}  // namespace zel
