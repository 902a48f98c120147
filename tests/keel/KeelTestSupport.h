#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "zel/CMTRand.h"
#include "zel/String.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace keel_test {

using Bytes = std::vector<unsigned char>;

inline Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string toHex(const unsigned char* data, std::size_t length) {
  return zel::toHex(data, length);
}

inline Bytes toBytes(const zel::TBuffer<unsigned char>& buffer) {
  return Bytes(buffer.getData(), buffer.getData() + buffer.getUsed());
}

inline Bytes toBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The seed for a test's random data: KEEL_TEST_SEED when set (to repeat a failure),
// otherwise a fresh one. Tests put it in a SCOPED_TRACE so that failures print it.
inline std::uint64_t testSeed() {
  if (const char* fixed = std::getenv("KEEL_TEST_SEED")) return std::strtoull(fixed, nullptr, 10);
  std::random_device device;
  return (std::uint64_t{device()} << 32) | device();
}

inline std::string seedTrace(std::uint64_t seed) {
  return "random seed " + std::to_string(seed) + " (set KEEL_TEST_SEED to repeat)";
}

inline Bytes randomBytes(zel::CMTRand& random, std::size_t length) {
  Bytes out(length);
  if (length > 0) random.randData(out.data(), length);
  return out;
}

inline zel::TCryptBuffer<unsigned char> randomKey(zel::CMTRand& random, std::size_t length) {
  const Bytes bytes = randomBytes(random, length);
  return zel::TCryptBuffer<unsigned char>(bytes.data(), bytes.size());
}

}  // namespace keel_test
