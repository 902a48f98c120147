#include "CompressTestSupport.h"

#include <cstdlib>
#include <stdexcept>

#include "compress/CLZ4Compressor.h"
#include "compress/CLZMACompressor.h"
#include "compress/CNullCompressor.h"
#include "compress/CZLibCompressor.h"
#include "zel/CMTRand.h"

namespace fleck_test {

std::vector<CompressorSetting> allSettings() {
  using zel::ISimpleCompressor;
  using zel::P;
  std::vector<CompressorSetting> settings;
  settings.push_back(
      {"null", [] { return P<ISimpleCompressor>(new zel::CNullCompressor()); }, false, false});
  for (int level : {0, 9}) {
    settings.push_back({"zlib" + std::to_string(level),
                        [level] { return P<ISimpleCompressor>(new zel::CZLibCompressor(level)); },
                        true, true});
  }
  settings.push_back(
      {"lz4", [] { return P<ISimpleCompressor>(new zel::CLZ4Compressor(false)); }, false, true});
  settings.push_back(
      {"lz4hc", [] { return P<ISimpleCompressor>(new zel::CLZ4Compressor(true)); }, false, true});
  for (auto [preset, extreme] : {std::pair{0, 0}, {6, 1}}) {
    settings.push_back({"xz" + std::to_string(preset) + (extreme != 0 ? "e" : ""),
                        [preset, extreme] {
                          return P<ISimpleCompressor>(new zel::CLZMACompressor(preset, extreme));
                        },
                        true, true});
  }
  return settings;
}

std::uint64_t testSeed() {
  static const std::uint64_t seed = [] {
    const char* text = std::getenv("FLECK_TEST_SEED");
    return text != nullptr ? std::strtoull(text, nullptr, 0) : std::uint64_t{20261205};
  }();
  return seed;
}

Bytes randomBytes(std::uint64_t seed, std::size_t length) {
  Bytes out(length);
  zel::CMTRand rand(seed);
  rand.randData(out.data(), out.size());
  return out;
}

Bytes textLikeBytes(std::uint64_t seed, std::size_t length) {
  static const char* const kWords[] = {"block",  "write",   "read",   "flush",   "the",   "of",
                                       "and",    "volume",  "sector", "journal", "error", "retry",
                                       "commit", "offset",  "cache",  "thread",  "a",     "to",
                                       "in",     "request", "queue",  "latency", "bytes", "mirror"};
  zel::CMTRand rand(seed);
  std::string text;
  text.reserve(length + 64);
  while (text.size() < length) {
    const auto words = 4 + rand.randBelow(10);
    text += std::to_string(1000000 + rand.randBelow(9000000));
    text += ": ";
    for (std::uint64_t i = 0; i < words; ++i) {
      text += kWords[rand.randBelow(std::size(kWords))];
      text += rand.randBelow(8) == 0 ? ", " : " ";
    }
    text += "at 0x" + std::to_string(rand.randBelow(1u << 20)) + ".\n";
  }
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

const std::vector<Payload>& standardPayloads() {
  static const std::vector<Payload> payloads = [] {
    std::vector<Payload> p;
    p.push_back({"empty", {}});
    p.push_back({"oneByte", {0x42}});
    p.push_back({"zeros512K", Bytes(kPayloadSize, 0)});
    p.push_back({"random512K", randomBytes(testSeed(), kPayloadSize)});
    p.push_back({"text512K", textLikeBytes(testSeed() + 1, kPayloadSize)});
    return p;
  }();
  return payloads;
}

GuardedBuffer::GuardedBuffer(std::size_t capacity)
    : cap(capacity), storage(capacity + kGuard, kPattern) {}

bool GuardedBuffer::guardIntact() const noexcept {
  for (std::size_t i = cap; i < storage.size(); ++i) {
    if (storage[i] != kPattern) return false;
  }
  return true;
}

Bytes compressAll(zel::ISimpleCompressor& compressor, const Bytes& input) {
  Bytes out(compressor.getMaxCompressedLength(input.size()));
  const std::size_t length =
      compressor.compress(input.data(), input.size(), out.data(), out.size());
  if (length > out.size()) throw std::logic_error("compressed length beyond capacity");
  out.resize(length);
  return out;
}

}  // namespace fleck_test
