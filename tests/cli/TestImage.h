#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fleck::clitest {

// Generated images for the command-line tests: blocks of random bytes, of repetitive
// text and of zeros (holes), so that every compressor has work, some flecks are all
// zeros and some are zero only in part. Deterministic for a seed.
class TestImage {
 public:
  // `size` bytes in blocks of a quarter fleck; every third fleck is all zeros.
  static std::string make(std::uint64_t seed, std::size_t size, std::size_t fleckSize);
  // Flecks of `image` (the last one may be short) that hold a non-zero byte.
  static int nonZeroFlecks(const std::string& image, std::size_t fleckSize);
  // True when every byte of the range is zero.
  static bool isZero(const std::string& bytes, std::size_t offset, std::size_t length);
};

}  // namespace fleck::clitest
