// The contract every compressor setting keeps (round trips within the bound, capacity
// errors, hostile input, reuse, threads), then the format rules stored flecks rely on.

#include <lz4.h>
#include <lzma.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
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

// Numbered lines of words: compresses like logs or documents.
Bytes textLike(std::uint64_t seed, std::size_t length) {
  static const char* const kWords[] = {" block", " write", " the", " of", " error", " a\n"};
  zel::CMTRand rand(seed);
  std::string text;
  while (text.size() < length)
    text += std::to_string(rand.randBelow(100000)) + kWords[rand.randBelow(std::size(kWords))];
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

Bytes compressAll(ISimpleCompressor& compressor, const Bytes& input) {
  Bytes out(compressor.getMaxCompressedLength(input.size()));
  out.resize(compressor.compress(input.data(), input.size(), out.data(), out.size()));
  return out;
}

// A target of `capacity` bytes followed by a guard, so that writes beyond it show
// without a sanitizer too.
struct Guarded {
  explicit Guarded(std::size_t capacity) : capacity(capacity), storage(capacity + 64, 0xA5) {}
  bool intact() const {
    return std::all_of(storage.begin() + static_cast<std::ptrdiff_t>(capacity), storage.end(),
                       [](unsigned char b) { return b == 0xA5; });
  }
  Bytes prefix(std::size_t n) const { return Bytes(storage.begin(), storage.begin() + n); }
  std::size_t capacity;
  Bytes storage;
};

class CompressorContract : public ::testing::TestWithParam<Setting> {
 protected:
  void SetUp() override { compressor = GetParam().make(); }

  // Hostile input must throw zel::CError or stay within capacity; a checksummed format
  // that accepts it must give the original back.
  void expectRejectedOrHarmless(const Bytes& input, std::size_t capacity, const Bytes* original) {
    Bytes target(capacity);  // exact size, for the address sanitizer
    try {
      const std::size_t length =
          compressor->decompress(input.data(), input.size(), target.data(), target.size());
      ASSERT_LE(length, capacity);
      if (GetParam().checksummed) {
        ASSERT_TRUE(original != nullptr && length == original->size() &&
                    std::equal(original->begin(), original->end(), target.begin()))
            << "checksummed format accepted damaged input";
      }
    } catch (const zel::CError&) {
    }
  }

  P<ISimpleCompressor> compressor;
};

TEST_P(CompressorContract, RoundTripsWithinTheBoundAndIsReusable) {
  SCOPED_TRACE("seed " + std::to_string(testSeed()) + " (FLECK_TEST_SEED)");
  const std::size_t kFleck = 512 * 1024;
  const std::vector<std::pair<std::string, Bytes>> payloads = {
      {"empty", {}},
      {"one byte", {0x42}},
      {"zeros", Bytes(kFleck, 0)},
      {"random", randomBytes(testSeed(), kFleck)},
      {"text", textLike(testSeed(), kFleck)}};
  for (const auto& [name, data] : payloads) {
    SCOPED_TRACE(name);
    const std::size_t bound = compressor->getMaxCompressedLength(data.size());
    Guarded packed(bound);
    const std::size_t packedLength =
        compressor->compress(data.data(), data.size(), packed.storage.data(), bound);
    ASSERT_LE(packedLength, bound);
    EXPECT_TRUE(packed.intact());
    const Bytes compressed = packed.prefix(packedLength);
    EXPECT_EQ(compressAll(*compressor, data), compressed) << "not deterministic";

    // Exactly the original size fits; so does spare room.
    for (std::size_t room : {data.size(), data.size() + 100}) {
      Guarded unpacked(room);
      ASSERT_EQ(compressor->decompress(compressed.data(), compressed.size(),
                                       unpacked.storage.data(), room),
                data.size());
      EXPECT_EQ(unpacked.prefix(data.size()), data);
      EXPECT_TRUE(unpacked.intact());
    }
    if (!GetParam().validates || data.size() < kFleck) continue;
    if (name == "random") {
      EXPECT_LT(compressed.size(), data.size() + data.size() / 100) << "stored blocks too big";
    } else if (GetParam().name != "zlib0") {
      EXPECT_LT(compressed.size(), data.size() * 3 / 4) << "does not compress";
    }
  }
}

// One byte too few, either way, throws, stays inside the target and leaves the object
// usable; the error names the compressor, the library's code and the capacity.
TEST_P(CompressorContract, OneByteTooFewThrowsAndStaysInBounds) {
  const Bytes data = textLike(testSeed(), 30000);
  const Bytes compressed = compressAll(*compressor, data);
  Guarded tight(compressed.size() - 1);
  EXPECT_THROW(compressor->compress(data.data(), data.size(), tight.storage.data(), tight.capacity),
               zel::CError);
  EXPECT_TRUE(tight.intact());

  Guarded short1(data.size() - 1);
  try {
    compressor->decompress(compressed.data(), compressed.size(), short1.storage.data(),
                           short1.capacity);
    ADD_FAILURE() << "output beyond capacity was accepted";
  } catch (const zel::CError& error) {
    if (GetParam().validates) {
      const std::string name = error.getProps().lookup("compressor").toUTF8();
      EXPECT_FALSE(name.empty()) << error.what();
      EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
      EXPECT_TRUE(error.getProps().has("libraryCode")) << error.what();
      EXPECT_EQ(error.getProps().lookup("capacity"), zel::String::fromInt64(30000 - 1));
      if (GetParam().checksummed) {
        EXPECT_NE(error.getMessage().find(L"does not fit"), zel::String::npos) << error.what();
      }
    }
  }
  EXPECT_TRUE(short1.intact());
  Bytes exact(data.size());
  EXPECT_EQ(
      compressor->decompress(compressed.data(), compressed.size(), exact.data(), exact.size()),
      data.size());
  EXPECT_EQ(exact, data);
}

TEST_P(CompressorContract, RandomGarbageIsRejectedOrHarmless) {
  const std::uint64_t seed = testSeed() + 10;
  SCOPED_TRACE("seed " + std::to_string(seed));
  zel::CMTRand rand(seed);
  for (std::size_t round = 0; round < 200 && !HasFatalFailure(); ++round) {
    const std::size_t length = round < 16 ? round : 1 + rand.randBelow(4096);
    const Bytes garbage = randomBytes(rand.randInt64(), length);
    expectRejectedOrHarmless(garbage, 64 * 1024, nullptr);
    expectRejectedOrHarmless(garbage, 0, nullptr);
  }
}

// Cuts near both ends (headers, trailers) and across the middle, and flipped bits.
TEST_P(CompressorContract, DamagedStreamsAreRejectedOrHarmless) {
  if (!GetParam().validates) GTEST_SKIP() << "takes any bytes";
  const std::uint64_t seed = testSeed() + 20;
  SCOPED_TRACE("seed " + std::to_string(seed));
  zel::CMTRand rand(seed);
  const Bytes original = textLike(seed, 48 * 1024);
  const Bytes compressed = compressAll(*compressor, original);
  const std::size_t n = compressed.size();
  for (std::size_t at = 0; at < n && !HasFatalFailure(); at += (at < 64 || n - at <= 64) ? 1 : 41) {
    SCOPED_TRACE("at " + std::to_string(at) + " of " + std::to_string(n));
    const Bytes cut(compressed.begin(), compressed.begin() + static_cast<std::ptrdiff_t>(at));
    if (GetParam().checksummed) {
      // Told apart from a target that is too small.
      Bytes target(original.size());
      try {
        compressor->decompress(cut.data(), cut.size(), target.data(), target.size());
        ADD_FAILURE() << "truncated stream accepted";
      } catch (const zel::CError& error) {
        EXPECT_NE(error.getMessage().find(L"truncated"), zel::String::npos) << error.what();
      }
    } else {
      // A raw LZ4 block cut after a sequence's literals still parses, as a shorter block.
      expectRejectedOrHarmless(cut, original.size(), nullptr);
    }
    Bytes corrupt = compressed;
    corrupt[at] ^= static_cast<unsigned char>(1u << rand.randBelow(8));
    expectRejectedOrHarmless(corrupt, original.size(), &original);
    corrupt[at] = static_cast<unsigned char>(rand.randInt());
    expectRejectedOrHarmless(corrupt, original.size() * 2, &original);
  }
}

std::string settingName(const ::testing::TestParamInfo<Setting>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(All, CompressorContract, ::testing::ValuesIn(allSettings()), settingName);

// Compressors have one user each; users on different threads share no hidden state.
TEST(CompressorThreadsTest, ObjectsOnDifferentThreadsWorkIndependently) {
  const Bytes data = textLike(testSeed() + 50, 96 * 1024);
  const std::vector<Setting> settings = allSettings();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (std::size_t i = 0; i < settings.size(); ++i) {
          auto compressor = settings[(i + t * 3) % settings.size()].make();
          for (int round = 0; round < 2; ++round) {
            const Bytes compressed = compressAll(*compressor, data);
            Bytes out(data.size());
            if (compressor->decompress(compressed.data(), compressed.size(), out.data(),
                                       out.size()) != data.size() ||
                out != data)
              ++failures;
          }
        }
      } catch (const zel::CError&) {
        ++failures;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// An xz fleck is one CRC64-checked stream that liblzma reads on its own. Preset 9 asks
// for a 64 MiB dictionary, but 64 KiB of input must decode within 1 MiB.
TEST(CompressorFormatTest, XzStreamIsCheckedAndItsDictionaryFitsTheInput) {
  const Bytes data = textLike(7, 64 * 1024);
  zel::CLZMACompressor xz(9, 0);
  const Bytes packed = compressAll(xz, data);
  lzma_stream_flags flags;
  ASSERT_EQ(lzma_stream_header_decode(&flags, packed.data()), LZMA_OK);
  EXPECT_EQ(flags.check, LZMA_CHECK_CRC64);
  Bytes out(data.size());
  std::uint64_t limit = 1 << 20;
  std::size_t inPos = 0;
  std::size_t outPos = 0;
  ASSERT_EQ(lzma_stream_buffer_decode(&limit, 0, nullptr, packed.data(), &inPos, packed.size(),
                                      out.data(), &outPos, out.size()),
            LZMA_OK);
  EXPECT_EQ(out, data);
}

// What a stored fleck may not be: anything behind the one stream, an xz stream that
// nothing vouches for, or one whose decoder would take too much memory.
TEST(CompressorFormatTest, RejectsExtrasWithTheLibrarysCodeAndWords) {
  const Bytes data = textLike(11, 20000);
  zel::CZLibCompressor zlib(6);
  zel::CLZMACompressor xz(6, 0);
  const Bytes zlibStream = compressAll(zlib, data);
  const Bytes xzStream = compressAll(xz, data);
  const auto twice = [](Bytes b) {
    b.insert(b.end(), b.begin(), b.end());
    return b;
  };
  const auto plus = [](Bytes b, std::size_t zeros) {
    b.resize(b.size() + zeros, 0);
    return b;
  };
  Bytes noCheck(lzma_stream_buffer_bound(data.size()));
  std::size_t noCheckLength = 0;
  ASSERT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_NONE, nullptr, data.data(), data.size(),
                                    noCheck.data(), &noCheckLength, noCheck.size()),
            LZMA_OK);
  noCheck.resize(noCheckLength);

  // The block header's dictionary size raised to almost 4 GiB, its CRC32 fixed.
  Bytes hugeDictionary = xzStream;
  const std::size_t header = LZMA_STREAM_HEADER_SIZE;
  const std::size_t headerSize = (hugeDictionary[header] + 1u) * 4;
  const unsigned char blockFlags = hugeDictionary[header + 1];
  ASSERT_EQ(blockFlags & 0x03, 0) << "one filter";
  std::size_t pos = header + 2;
  for (int sizes = ((blockFlags & 0x40) != 0) + ((blockFlags & 0x80) != 0); sizes > 0; --sizes) {
    while ((hugeDictionary[pos] & 0x80) != 0)
      ++pos;  // a multibyte integer
    ++pos;
  }
  ASSERT_EQ(hugeDictionary[pos], LZMA_FILTER_LZMA2);
  ASSERT_EQ(hugeDictionary[pos + 1], 1) << "one property byte";
  hugeDictionary[pos + 2] = 40;
  const std::uint32_t crc = lzma_crc32(&hugeDictionary[header], headerSize - 4, 0);
  for (std::size_t i = 0; i < 4; ++i)
    hugeDictionary[header + headerSize - 4 + i] = static_cast<unsigned char>(crc >> (8 * i));

  struct Case {
    const char* what;
    ISimpleCompressor& compressor;
    Bytes input;
    int code;
    const wchar_t* words;
  };
  const Case cases[] = {
      {"zlib, a byte behind", zlib, plus(zlibStream, 1), Z_STREAM_END, L"trailing"},
      {"zlib, two streams", zlib, twice(zlibStream), Z_STREAM_END, L"trailing"},
      {"xz, stream padding", xz, plus(xzStream, 4), LZMA_STREAM_END, L"trailing"},
      {"xz, two streams", xz, twice(xzStream), LZMA_STREAM_END, L"trailing"},
      {"xz, no check", xz, noCheck, LZMA_NO_CHECK, L"no integrity check"},
      {"xz, huge dictionary", xz, hugeDictionary, LZMA_MEMLIMIT_ERROR, L"decoder memory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes target(data.size() * 2);
    try {
      c.compressor.decompress(c.input.data(), c.input.size(), target.data(), target.size());
      ADD_FAILURE() << "accepted";
    } catch (const zel::CError& error) {
      EXPECT_EQ(error.getCode(), c.code) << error.what();
      EXPECT_NE(error.getMessage().find(c.words), zel::String::npos) << error.what();
    }
  }
  // Both still work afterwards.
  Bytes out(data.size());
  EXPECT_EQ(xz.decompress(xzStream.data(), xzStream.size(), out.data(), out.size()), data.size());
  EXPECT_EQ(zlib.decompress(zlibStream.data(), zlibStream.size(), out.data(), out.size()),
            data.size());
}

TEST(CompressorFormatTest, EdgesOfSettingsAndSizes) {
  for (int level : {-1, 10}) {
    EXPECT_THROW(zel::CZLibCompressor{level}, zel::CInvalidArgError) << level;
    EXPECT_THROW(zel::CLZMACompressor(level, 0), zel::CInvalidArgError) << level;
  }
  EXPECT_EQ(zel::CLZMACompressor(6, -3).getPreset(), 6u | LZMA_PRESET_EXTREME);
  EXPECT_THROW(zel::CLZMACompressor(1, 0).getMaxCompressedLength(SIZE_MAX), zel::CError);

  // LZ4 has no header: the empty block is one byte, and no bytes are no block.
  zel::CLZ4Compressor lz4(false);
  EXPECT_EQ(compressAll(lz4, Bytes()), Bytes{0});
  unsigned char room[4];
  EXPECT_THROW(lz4.decompress(room, 0, room, sizeof room), zel::CError);
  const std::size_t tooLong = static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE) + 1;
  EXPECT_THROW(lz4.getMaxCompressedLength(tooLong), zel::CError);
  EXPECT_THROW(lz4.compress(room, tooLong, room, sizeof room), zel::CError);  // before reading
}

}  // namespace
}  // namespace fleck::test
