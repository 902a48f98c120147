#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fleck::bench {

// Payloads for the fleck benchmarks. The same kind, size and seed always give the same
// bytes.
enum class DataKind {
  kRandom,      // uniformly random bytes: LZ4 gives up on them (ratio just above 1)
  kText,        // log-like text lines: LZ4 ratio about 0.4
  kZeroButOne,  // all zero except one byte in the middle
};

const char* dataKindName(DataKind kind);

std::vector<unsigned char> makeData(DataKind kind, std::size_t size, std::uint32_t seed);

}  // namespace fleck::bench
