// The contract every compressor setting keeps (round trips within the bound, capacity
// errors, hostile input, reuse, threads), then the format rules stored flecks rely on.

#include <lz4.h>
#include <lzma.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "compress/CLZ4Compressor.h"
#include "compress/CLZMACompressor.h"
#include "compress/CNullCompressor.h"
#include "compress/CZLibCompressor.h"
#include "zel/CError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CMTRand.h"

namespace fleck::test {
namespace {

using Bytes = std::vector<unsigned char>;
using zel::ISimpleCompressor;
using zel::P;

struct Setting {
  std::string name;
  std::function<P<ISimpleCompressor>()> make;
  bool checksummed;  // corrupt input that still decodes must give the original bytes
  bool validates;    // false for the copying compressor, which takes any bytes
};

void PrintTo(const Setting& setting, std::ostream* out) {
  *out << setting.name;
}

template <class C, class... A>
std::function<P<ISimpleCompressor>()> maker(A... args) {
  return [=] { return P<ISimpleCompressor>(new C(args...)); };
}

std::vector<Setting> allSettings() {
  return {{"null", maker<zel::CNullCompressor>(), false, false},
          {"zlib0", maker<zel::CZLibCompressor>(0), true, true},
          {"zlib9", maker<zel::CZLibCompressor>(9), true, true},
          {"lz4", maker<zel::CLZ4Compressor>(false), false, true},
          {"lz4hc", maker<zel::CLZ4Compressor>(true), false, true},
          {"xz0", maker<zel::CLZMACompressor>(0, 0), true, true},
          {"xz6e", maker<zel::CLZMACompressor>(6, 1), true, true}};
}

std::uint64_t testSeed() {
  const char* text = std::getenv("FLECK_TEST_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 0) : 20261205;
}

Bytes randomBytes(std::uint64_t seed, std::size_t length) {
  Bytes out(length);
  zel::CMTRand(seed).randData(out.data(), out.size());
  return out;
}

Bytes textLike(std::uint64_t seed, std::size_t length) {  // compresses like logs
  static const char* const kWords[] = {" block", " write", " the", " of", " error", " a\n"};
  zel::CMTRand rand(seed);
  std::string text;
  while (text.size() < length)
    text += std::to_string(rand.randBelow(100000)) + kWords[rand.randBelow(std::size(kWords))];
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

// Compresses into a buffer of exactly the bound, followed by a guard that shows writes
// beyond it without a sanitizer too.
Bytes compressAll(ISimpleCompressor& compressor, const Bytes& input) {
  const std::size_t bound = compressor.getMaxCompressedLength(input.size());
  Bytes out(bound + 64, 0xA5);
  const std::size_t length = compressor.compress(input.data(), input.size(), out.data(), bound);
  EXPECT_EQ(std::count(out.begin() + bound, out.end(), 0xA5), 64) << "wrote beyond the bound";
  out.resize(std::min(length, bound + 1));
  EXPECT_LE(length, bound);
  return out;
}

// Decompresses into `capacity` bytes followed by a guard: the bytes written, or nothing
// when it threw zel::CError.
std::optional<Bytes> tryDecompress(ISimpleCompressor& compressor, const Bytes& input,
                                   std::size_t capacity, P<zel::CError>* error = nullptr) {
  Bytes target(capacity + 64, 0xA5);
  std::optional<Bytes> result;
  try {
    const std::size_t length =
        compressor.decompress(input.data(), input.size(), target.data(), capacity);
    EXPECT_LE(length, capacity);
    result = Bytes(target.begin(), target.begin() + std::min(length, capacity));
  } catch (const zel::CError& e) {
    if (error != nullptr) *error = e.clone();
  }
  EXPECT_EQ(std::count(target.begin() + capacity, target.end(), 0xA5), 64) << "wrote beyond";
  return result;
}

class CompressorContract : public ::testing::TestWithParam<Setting> {
 protected:
  P<ISimpleCompressor> compressor = GetParam().make();
};

TEST_P(CompressorContract, RoundTripsWithinTheBoundAndIsReusable) {
  SCOPED_TRACE("seed " + std::to_string(testSeed()) + " (FLECK_TEST_SEED)");
  const std::size_t kFleck = 512 * 1024;
  const std::pair<std::string, Bytes> payloads[] = {{"empty", {}},
                                                    {"one byte", {0x42}},
                                                    {"zeros", Bytes(kFleck, 0)},
                                                    {"random", randomBytes(testSeed(), kFleck)},
                                                    {"text", textLike(testSeed(), kFleck)}};
  for (const auto& [name, data] : payloads) {
    SCOPED_TRACE(name);
    const Bytes packed = compressAll(*compressor, data);
    EXPECT_EQ(compressAll(*compressor, data), packed) << "not deterministic";
    // Exactly the original size fits; so does spare room.
    EXPECT_EQ(tryDecompress(*compressor, packed, data.size()), data);
    EXPECT_EQ(tryDecompress(*compressor, packed, data.size() + 100), data);
    if (GetParam().validates && name == "random") {
      EXPECT_LT(packed.size(), kFleck + kFleck / 100) << "stored blocks too big";
    } else if (GetParam().validates && name == "text" && GetParam().name != "zlib0") {
      EXPECT_LT(packed.size(), kFleck * 3 / 4) << "does not compress";
    }
  }
}

// One byte too few, either way, throws, stays inside the target and leaves the object
// usable; the error names the compressor, the library's code and the capacity.
TEST_P(CompressorContract, OneByteTooFewThrowsAndStaysInBounds) {
  const Bytes data = textLike(testSeed(), 30000);
  const Bytes compressed = compressAll(*compressor, data);
  Bytes tight(compressed.size() + 63, 0xA5);
  EXPECT_THROW(compressor->compress(data.data(), data.size(), tight.data(), compressed.size() - 1),
               zel::CError);
  EXPECT_EQ(std::count(tight.end() - 64, tight.end(), 0xA5), 64) << "wrote beyond";
  P<zel::CError> error;
  EXPECT_EQ(tryDecompress(*compressor, compressed, data.size() - 1, &error), std::nullopt);
  if (GetParam().validates) {
    ASSERT_NE(error, nullptr);
    const std::string name = error->getProps().lookup("compressor").toUTF8();
    EXPECT_NE(std::string(error->what()).find(name), std::string::npos) << error->what();
    EXPECT_TRUE(!name.empty() && error->getProps().has("libraryCode")) << error->what();
    EXPECT_EQ(error->getProps().lookup("capacity"), zel::String("29999"));
    if (GetParam().checksummed) {
      EXPECT_NE(error->getMessage().find(L"does not fit"), zel::String::npos) << error->what();
    }
  }
  EXPECT_EQ(tryDecompress(*compressor, compressed, data.size()), data);
}

// Random bytes, cuts near both ends (headers, trailers) and across the middle, and
// flipped bits: rejected or harmless; a checksummed format that accepts damaged input
// must give the original back, and calls a cut stream truncated.
TEST_P(CompressorContract, HostileInputIsRejectedOrHarmless) {
  const std::uint64_t seed = testSeed() + 20;
  SCOPED_TRACE("seed " + std::to_string(seed));
  zel::CMTRand rand(seed);
  for (std::size_t round = 0; round < 200; ++round) {
    const Bytes garbage = randomBytes(rand.randInt64(), round < 16 ? round : rand.randBelow(4096));
    const auto result = tryDecompress(*compressor, garbage, 64 * 1024);
    EXPECT_FALSE(result && GetParam().checksummed) << "round " << round;
    tryDecompress(*compressor, garbage, 0);
  }
  if (!GetParam().validates) return;
  const Bytes original = textLike(seed, 48 * 1024);
  const Bytes compressed = compressAll(*compressor, original);
  const std::size_t n = compressed.size();
  for (std::size_t at = 0; at < n && !HasFailure(); at += (at < 64 || n - at <= 64) ? 1 : 41) {
    SCOPED_TRACE("at " + std::to_string(at) + " of " + std::to_string(n));
    P<zel::CError> error;
    const Bytes cut(compressed.begin(), compressed.begin() + static_cast<std::ptrdiff_t>(at));
    // A raw LZ4 block cut after a sequence's literals still parses, as a shorter block.
    if (!tryDecompress(*compressor, cut, original.size(), &error)) {
      EXPECT_TRUE(!GetParam().checksummed ||
                  error->getMessage().find(L"truncated") != zel::String::npos)
          << error->what();
    } else {
      EXPECT_FALSE(GetParam().checksummed) << "truncated stream accepted";
    }
    Bytes corrupt = compressed;
    corrupt[at] ^= static_cast<unsigned char>(1u << rand.randBelow(8));
    for (std::size_t room : {original.size(), original.size() * 2}) {
      const auto result = tryDecompress(*compressor, corrupt, room);
      EXPECT_TRUE(!result || !GetParam().checksummed || *result == original);
      corrupt[at] = static_cast<unsigned char>(rand.randInt());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, CompressorContract, ::testing::ValuesIn(allSettings()),
                         [](const auto& info) { return info.param.name; });

// Compressors have one user each; users on different threads share no hidden state.
TEST(CompressorThreadsTest, ObjectsOnDifferentThreadsWorkIndependently) {
  const Bytes data = textLike(testSeed() + 50, 96 * 1024);
  const std::vector<Setting> settings = allSettings();
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = 0; i < 2 * settings.size(); ++i) {
        const Setting& setting = settings[(i / 2 + t * 3) % settings.size()];
        P<ISimpleCompressor> compressor = setting.make();
        EXPECT_EQ(tryDecompress(*compressor, compressAll(*compressor, data), data.size()), data)
            << setting.name;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
}

// What a stored fleck may not be: anything behind the one stream, or an xz stream that
// nothing vouches for.
TEST(CompressorFormatTest, RejectsExtrasWithTheLibrarysCodeAndWords) {
  const Bytes data = textLike(11, 20000);
  zel::CZLibCompressor zlib(6);
  zel::CLZMACompressor xz(6, 0);
  const Bytes zlibStream = compressAll(zlib, data);
  const Bytes xzStream = compressAll(xz, data);
  const auto plus = [](Bytes b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
    return b;
  };
  Bytes noCheck(lzma_stream_buffer_bound(data.size()));
  std::size_t noCheckLength = 0;
  ASSERT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_NONE, nullptr, data.data(), data.size(),
                                    noCheck.data(), &noCheckLength, noCheck.size()),
            LZMA_OK);
  noCheck.resize(noCheckLength);
  const std::tuple<ISimpleCompressor*, Bytes, int, const wchar_t*> cases[] = {
      {&zlib, plus(zlibStream, {0}), Z_STREAM_END, L"trailing"},
      {&zlib, plus(zlibStream, zlibStream), Z_STREAM_END, L"trailing"},
      {&xz, plus(xzStream, {0, 0, 0, 0}), LZMA_STREAM_END, L"trailing"},  // stream padding
      {&xz, plus(xzStream, xzStream), LZMA_STREAM_END, L"trailing"},
      {&xz, noCheck, LZMA_NO_CHECK, L"no integrity check"},
  };
  for (const auto& [compressor, input, code, words] : cases) {
    P<zel::CError> error;
    ASSERT_EQ(tryDecompress(*compressor, input, data.size() * 2, &error), std::nullopt);
    EXPECT_EQ(error->getCode(), code) << error->what();
    EXPECT_NE(error->getMessage().find(words), zel::String::npos) << error->what();
  }
}

TEST(CompressorFormatTest, EdgesOfSettingsAndSizes) {
  for (int level : {-1, 10}) {
    EXPECT_THROW(zel::CZLibCompressor{level}, zel::CInvalidArgError) << level;
    EXPECT_THROW(zel::CLZMACompressor(level, 0), zel::CInvalidArgError) << level;
  }
  // LZ4 has no header: the empty block is one byte, and no bytes are no block.
  zel::CLZ4Compressor lz4(false);
  EXPECT_EQ(compressAll(lz4, Bytes()), Bytes{0});
  EXPECT_EQ(tryDecompress(lz4, Bytes(), 4), std::nullopt);
  EXPECT_EQ(lz4.getMaxCompressedLength(LZ4_MAX_INPUT_SIZE), LZ4_COMPRESSBOUND(LZ4_MAX_INPUT_SIZE));
  EXPECT_THROW(lz4.getMaxCompressedLength(std::size_t{LZ4_MAX_INPUT_SIZE} + 1), zel::CError);
}

}  // namespace
}  // namespace fleck::test
