#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "compress/ISimpleCompressor.h"
#include "zel/P.h"

namespace fleck_test {

using Bytes = std::vector<unsigned char>;

// One compressor configuration under test.
struct CompressorSetting {
  std::string name;  // also the GoogleTest parameter name
  std::function<zel::P<zel::ISimpleCompressor>()> make;
  // True when the format carries a checksum of the content, so that corrupt input that
  // still decodes must decode to the original bytes.
  bool checksummed;
  // False for the copying compressor, which takes any bytes as valid input.
  bool validates;
};

// GoogleTest prints a setting by its name.
inline void PrintTo(const CompressorSetting& setting, std::ostream* out) {
  *out << setting.name;
}

std::vector<CompressorSetting> allSettings();

// The seed of this run: FLECK_TEST_SEED from the environment, or a fixed default.
std::uint64_t testSeed();

constexpr std::size_t kPayloadSize = 512 * 1024;

struct Payload {
  std::string name;
  Bytes data;
};

// 0 bytes, 1 byte, 512 KiB zeros, 512 KiB random, 512 KiB text-like; made once.
const std::vector<Payload>& standardPayloads();

Bytes randomBytes(std::uint64_t seed, std::size_t length);
// Words, numbers and punctuation in lines: compresses like logs or documents.
Bytes textLikeBytes(std::uint64_t seed, std::size_t length);

// A target buffer followed by a guard region, to catch writes beyond capacity.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t capacity);
  unsigned char* data() noexcept { return storage.data(); }
  std::size_t capacity() const noexcept { return cap; }
  bool guardIntact() const noexcept;
  Bytes prefix(std::size_t length) const {
    return Bytes(storage.begin(), storage.begin() + length);
  }

 private:
  static constexpr std::size_t kGuard = 64;
  static constexpr unsigned char kPattern = 0xA5;
  std::size_t cap;
  Bytes storage;
};

// Compresses into a buffer of exactly getMaxCompressedLength bytes and returns the
// result, trimmed.
Bytes compressAll(zel::ISimpleCompressor& compressor, const Bytes& input);

}  // namespace fleck_test
