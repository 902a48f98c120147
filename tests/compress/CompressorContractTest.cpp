// The contract every compressor setting must keep, checked the same way for all of them:
// round trips, bounds, capacity errors and hostile input.

#include <gtest/gtest.h>

#include <algorithm>

#include "CompressTestSupport.h"
#include "zel/CError.h"
#include "zel/CMTRand.h"

namespace fleck_test {
namespace {

class CompressorContractTest : public ::testing::TestWithParam<CompressorSetting> {
 protected:
  void SetUp() override {
    compressor = GetParam().make();
    ASSERT_NE(compressor, nullptr);
  }

  // Decompresses hostile input into an exactly sized heap buffer (so that the address
  // sanitizer sees any write beyond it) and checks the contract: an error, or a length
  // within capacity; for checksummed formats a success must give the original bytes.
  void expectRejectedOrHarmless(const Bytes& input, std::size_t capacity, const Bytes* original) {
    Bytes source(input);  // exact-size copy: reads beyond it are caught too
    Bytes target(capacity);
    try {
      const std::size_t length =
          compressor->decompress(source.data(), source.size(), target.data(), target.size());
      ASSERT_LE(length, capacity);
      if (GetParam().checksummed) {
        ASSERT_NE(original, nullptr) << "checksummed format accepted random bytes";
        ASSERT_EQ(length, original->size());
        ASSERT_TRUE(std::equal(original->begin(), original->end(), target.begin()))
            << "checksummed format decoded corrupt input to different bytes";
      }
    } catch (const zel::CError&) {
      // Expected for most inputs.
    }
  }

  zel::P<zel::ISimpleCompressor> compressor;
};

// The settings that compress and validate their input (all but the copying one).
class CompressingCompressorTest : public CompressorContractTest {};

TEST_P(CompressorContractTest, RoundTripsEveryPayloadWithinTheBound) {
  SCOPED_TRACE("seed " + std::to_string(testSeed()));
  for (const Payload& payload : standardPayloads()) {
    SCOPED_TRACE(payload.name);
    const std::size_t bound = compressor->getMaxCompressedLength(payload.data.size());
    GuardedBuffer packed(bound);
    const std::size_t packedLength =
        compressor->compress(payload.data.data(), payload.data.size(), packed.data(), bound);
    EXPECT_LE(packedLength, bound);
    EXPECT_TRUE(packed.guardIntact());

    // Exactly the original size: output that fills the capacity is fine.
    const Bytes compressed = packed.prefix(packedLength);
    GuardedBuffer unpacked(payload.data.size());
    const std::size_t unpackedLength = compressor->decompress(compressed.data(), compressed.size(),
                                                              unpacked.data(), unpacked.capacity());
    ASSERT_EQ(unpackedLength, payload.data.size());
    EXPECT_EQ(unpacked.prefix(unpackedLength), payload.data);
    EXPECT_TRUE(unpacked.guardIntact());

    // Spare room is fine too, and the object is reusable after any number of calls.
    Bytes roomy(payload.data.size() + 100);
    EXPECT_EQ(
        compressor->decompress(compressed.data(), compressed.size(), roomy.data(), roomy.size()),
        payload.data.size());
    EXPECT_EQ(compressAll(*compressor, payload.data), compressed) << "output not deterministic";
  }
}

TEST_P(CompressingCompressorTest, CompressedSizesAreSensible) {
  for (const Payload& payload : standardPayloads()) {
    if (payload.data.size() < kPayloadSize) continue;
    SCOPED_TRACE(payload.name);
    const Bytes compressed = compressAll(*compressor, payload.data);
    if (payload.name == "random512K") {
      // Incompressible data: the formats fall back to stored blocks with little overhead.
      EXPECT_LT(compressed.size(), payload.data.size() + payload.data.size() / 100);
    } else if (GetParam().name == "zlib0") {
      continue;  // stores only
    } else if (payload.name == "zeros512K") {
      EXPECT_LT(compressed.size(), payload.data.size() / 100);
    } else {
      EXPECT_LT(compressed.size(), payload.data.size() * 3 / 4);
    }
  }
}

// One byte too few, either way, must throw, stay inside the target and leave the
// object usable; the error names the compressor, the library's code and the capacity.
TEST_P(CompressorContractTest, OneByteTooFewThrowsAndStaysInBounds) {
  for (const Payload& payload : standardPayloads()) {
    SCOPED_TRACE(payload.name);
    const Bytes compressed = compressAll(*compressor, payload.data);
    if (!compressed.empty()) {
      GuardedBuffer tight(compressed.size() - 1);
      EXPECT_THROW(compressor->compress(payload.data.data(), payload.data.size(), tight.data(),
                                        tight.capacity()),
                   zel::CError);
      EXPECT_TRUE(tight.guardIntact());
    }
    if (payload.data.empty()) continue;
    GuardedBuffer tight(payload.data.size() - 1);
    try {
      compressor->decompress(compressed.data(), compressed.size(), tight.data(), tight.capacity());
      ADD_FAILURE() << "output beyond capacity was accepted";
    } catch (const zel::CError& error) {
      if (GetParam().validates) {
        const std::string name = error.getProps().lookup("compressor").toUTF8();
        EXPECT_FALSE(name.empty()) << error.what();
        EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
        EXPECT_TRUE(error.getProps().has("libraryCode")) << error.what();
        if (GetParam().checksummed) {
          EXPECT_NE(error.getMessage().find(L"does not fit"), zel::String::npos) << error.what();
        }
        EXPECT_EQ(error.getProps().lookup("capacity"),
                  zel::String::fromInt64(static_cast<std::int64_t>(tight.capacity())));
      }
    }
    EXPECT_TRUE(tight.guardIntact());
    Bytes exact(payload.data.size());
    EXPECT_EQ(
        compressor->decompress(compressed.data(), compressed.size(), exact.data(), exact.size()),
        payload.data.size());
    EXPECT_EQ(exact, payload.data);
  }
}

TEST_P(CompressorContractTest, RandomGarbageIsRejectedOrHarmless) {
  const std::uint64_t seed = testSeed() + 10;
  SCOPED_TRACE("seed " + std::to_string(seed));
  zel::CMTRand rand(seed);
  for (int round = 0; round < 300; ++round) {
    const std::size_t length = round < 16 ? static_cast<std::size_t>(round)
                                          : 1 + static_cast<std::size_t>(rand.randBelow(4096));
    const Bytes garbage = randomBytes(rand.randInt64(), length);
    SCOPED_TRACE("round " + std::to_string(round));
    expectRejectedOrHarmless(garbage, 64 * 1024, nullptr);
    expectRejectedOrHarmless(garbage, 0, nullptr);
    if (HasFatalFailure()) return;
  }
}

TEST_P(CompressingCompressorTest, TruncatedStreamsAreRejectedOrHarmless) {
  const std::uint64_t seed = testSeed() + 20;
  SCOPED_TRACE("seed " + std::to_string(seed));
  const Bytes original = textLikeBytes(seed, 48 * 1024);
  const Bytes compressed = compressAll(*compressor, original);
  // Every cut near both ends (headers, trailers), and a spread across the middle.
  std::vector<std::size_t> cuts;
  for (std::size_t cut = 0; cut < compressed.size(); ++cut) {
    if (cut < 80 || compressed.size() - cut <= 80 || cut % 97 == 0) cuts.push_back(cut);
  }
  for (std::size_t cut : cuts) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(compressed.size()));
    const Bytes truncated(compressed.begin(),
                          compressed.begin() + static_cast<std::ptrdiff_t>(cut));
    if (GetParam().checksummed) {
      // Told apart from a target that is too small.
      Bytes target(original.size());
      try {
        compressor->decompress(truncated.data(), truncated.size(), target.data(), target.size());
        ADD_FAILURE() << "truncated stream accepted";
      } catch (const zel::CError& error) {
        EXPECT_NE(error.getMessage().find(L"truncated"), zel::String::npos) << error.what();
      }
    } else {
      // A raw LZ4 block cut after a sequence's literals still parses, as a shorter block.
      expectRejectedOrHarmless(truncated, original.size(), nullptr);
    }
    if (HasFatalFailure()) return;
  }
}

TEST_P(CompressingCompressorTest, FlippedBitsAreRejectedOrHarmless) {
  const std::uint64_t seed = testSeed() + 30;
  SCOPED_TRACE("seed " + std::to_string(seed));
  zel::CMTRand rand(seed);
  const Bytes original = textLikeBytes(seed, 48 * 1024);
  const Bytes compressed = compressAll(*compressor, original);
  for (std::size_t position = 0; position < compressed.size();
       position += position < 64 || compressed.size() - position <= 64 ? 1 : 41) {
    Bytes corrupt = compressed;
    corrupt[position] ^= static_cast<unsigned char>(1u << rand.randBelow(8));
    SCOPED_TRACE("bit flipped at " + std::to_string(position));
    expectRejectedOrHarmless(corrupt, original.size(), &original);
    // Also a whole byte overwritten, and with a roomier target.
    corrupt[position] = static_cast<unsigned char>(rand.randInt());
    expectRejectedOrHarmless(corrupt, original.size() * 2, &original);
    if (HasFatalFailure()) return;
  }
}

std::string settingName(const ::testing::TestParamInfo<CompressorSetting>& info) {
  return info.param.name;
}

std::vector<CompressorSetting> compressingSettings() {
  std::vector<CompressorSetting> settings = allSettings();
  std::erase_if(settings, [](const CompressorSetting& s) { return !s.validates; });
  return settings;
}

INSTANTIATE_TEST_SUITE_P(AllSettings, CompressorContractTest, ::testing::ValuesIn(allSettings()),
                         settingName);
INSTANTIATE_TEST_SUITE_P(CompressingSettings, CompressingCompressorTest,
                         ::testing::ValuesIn(compressingSettings()), settingName);

}  // namespace
}  // namespace fleck_test
