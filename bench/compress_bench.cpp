// Throughput of each compressor through our classes and through the library called
// directly, side by side (BM_<Codec><Direction>_ours / _direct). Every benchmark runs on
// one thread, so bytes_per_second is per core; it counts uncompressed bytes in both
// directions. Argument 0 is 512 KiB of random bytes, 1 is 512 KiB of text-like bytes.

#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "compress/CLZ4Compressor.h"
#include "compress/CLZMACompressor.h"
#include "compress/CNullCompressor.h"
#include "compress/CZLibCompressor.h"
#include "zel/P.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::size_t kInputSize = 512 * 1024;
constexpr int kZLibLevel = 6;
constexpr std::uint32_t kLZMAPreset = 1;

const Bytes& input(std::int64_t kind) {
  static const Bytes random = [] {
    Bytes out(kInputSize);
    std::mt19937 engine(12345);
    for (auto& b : out)
      b = static_cast<unsigned char>(engine());
    return out;
  }();
  static const Bytes text = [] {
    static const char* const kWords[] = {"block",  "write",  "read",   "flush",   "the",   "of",
                                         "and",    "volume", "sector", "journal", "error", "retry",
                                         "commit", "offset", "cache",  "thread",  "a",     "to"};
    std::mt19937 engine(54321);
    std::string s;
    while (s.size() < kInputSize) {
      s += std::to_string(1000000 + engine() % 9000000) + ": ";
      const unsigned words = 4 + engine() % 10;
      for (unsigned i = 0; i < words; ++i) {
        s += kWords[engine() % std::size(kWords)];
        s += engine() % 8 == 0 ? ", " : " ";
      }
      s += "at 0x" + std::to_string(engine() % (1u << 20)) + ".\n";
    }
    return Bytes(s.begin(), s.begin() + kInputSize);
  }();
  return kind == 0 ? random : text;
}

// Ours and direct write to the same buffer and read the same compressed bytes, so that
// neither gains from luckier alignment of its buffers (it shows with memcpy-like work).
Bytes& target(std::size_t size) {
  static Bytes buffer(2 * kInputSize);
  if (size > buffer.size()) throw std::logic_error("bench target too small");
  return buffer;
}

enum class Codec { kLZ4, kLZ4HC, kZLib, kLZMA };

zel::P<zel::ISimpleCompressor> makeOurs(Codec codec) {
  switch (codec) {
    case Codec::kLZ4:
      return zel::P<zel::ISimpleCompressor>(new zel::CLZ4Compressor(false));
    case Codec::kLZ4HC:
      return zel::P<zel::ISimpleCompressor>(new zel::CLZ4Compressor(true));
    case Codec::kZLib:
      return zel::P<zel::ISimpleCompressor>(new zel::CZLibCompressor(kZLibLevel));
    case Codec::kLZMA:
      return zel::P<zel::ISimpleCompressor>(
          new zel::CLZMACompressor(static_cast<int>(kLZMAPreset), 0));
  }
  throw std::logic_error("unknown codec");
}

// The compressed form of input(kind) by our class, made once per codec and kind.
const Bytes& compressed(Codec codec, std::int64_t kind) {
  static std::map<std::pair<Codec, std::int64_t>, Bytes> cache;
  Bytes& out = cache[{codec, kind}];
  if (out.empty()) {
    auto compressor = makeOurs(codec);
    const Bytes& in = input(kind);
    out.resize(compressor->getMaxCompressedLength(in.size()));
    out.resize(compressor->compress(in.data(), in.size(), out.data(), out.size()));
  }
  return out;
}

void finish(benchmark::State& state, std::size_t compressedSize) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(kInputSize));
  state.SetLabel(std::string(state.range(0) == 0 ? "random" : "text") + ", ratio " +
                 std::to_string(static_cast<double>(compressedSize) / kInputSize));
}

// Our side: the same loops for every compressor.
void compressOurs(benchmark::State& state, Codec codec) {
  auto compressor = makeOurs(codec);
  const Bytes& in = input(state.range(0));
  Bytes& out = target(compressor->getMaxCompressedLength(in.size()));
  std::size_t length = 0;
  for (auto _ : state) {
    length = compressor->compress(in.data(), in.size(), out.data(), out.size());
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  finish(state, length);
}

void decompressOurs(benchmark::State& state, Codec codec) {
  auto compressor = makeOurs(codec);
  const Bytes& source = compressed(codec, state.range(0));
  Bytes& out = target(kInputSize);
  for (auto _ : state) {
    std::size_t length =
        compressor->decompress(source.data(), source.size(), out.data(), kInputSize);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  finish(state, source.size());
}

// ---- null: a copy either way

void BM_NullCompress_ours(benchmark::State& state) {
  zel::CNullCompressor compressor;
  const Bytes& in = input(state.range(0));
  Bytes& out = target(in.size());
  for (auto _ : state) {
    std::size_t length = compressor.compress(in.data(), in.size(), out.data(), in.size());
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  finish(state, in.size());
}

void BM_NullCompress_direct(benchmark::State& state) {
  const Bytes& in = input(state.range(0));
  Bytes& out = target(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::ClobberMemory();
  }
  finish(state, in.size());
}

// ---- LZ4 (fast at acceleration 1, and HC at the default level)

void lz4CompressDirect(benchmark::State& state, bool high) {
  const Bytes& in = input(state.range(0));
  const int bound = LZ4_compressBound(static_cast<int>(in.size()));
  Bytes& out = target(static_cast<std::size_t>(bound));
  const char* src = reinterpret_cast<const char*>(in.data());
  char* dst = reinterpret_cast<char*>(out.data());
  const int n = static_cast<int>(in.size());
  int length = 0;
  for (auto _ : state) {
    length = high ? LZ4_compress_HC(src, dst, n, bound, LZ4HC_CLEVEL_DEFAULT)
                  : LZ4_compress_default(src, dst, n, bound);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  finish(state, static_cast<std::size_t>(length));
}

void lz4DecompressDirect(benchmark::State& state, Codec codec) {
  const Bytes& source = compressed(codec, state.range(0));
  Bytes& out = target(kInputSize);
  for (auto _ : state) {
    int length = LZ4_decompress_safe(reinterpret_cast<const char*>(source.data()),
                                     reinterpret_cast<char*>(out.data()),
                                     static_cast<int>(source.size()), static_cast<int>(kInputSize));
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  finish(state, source.size());
}

void BM_LZ4Compress_ours(benchmark::State& state) {
  compressOurs(state, Codec::kLZ4);
}
void BM_LZ4Compress_direct(benchmark::State& state) {
  lz4CompressDirect(state, false);
}
void BM_LZ4Decompress_ours(benchmark::State& state) {
  decompressOurs(state, Codec::kLZ4);
}
void BM_LZ4Decompress_direct(benchmark::State& state) {
  lz4DecompressDirect(state, Codec::kLZ4);
}
void BM_LZ4HCCompress_ours(benchmark::State& state) {
  compressOurs(state, Codec::kLZ4HC);
}
void BM_LZ4HCCompress_direct(benchmark::State& state) {
  lz4CompressDirect(state, true);
}
void BM_LZ4HCDecompress_ours(benchmark::State& state) {
  decompressOurs(state, Codec::kLZ4HC);
}
void BM_LZ4HCDecompress_direct(benchmark::State& state) {
  lz4DecompressDirect(state, Codec::kLZ4HC);
}

// ---- zlib at level 6: compress2 / uncompress

void BM_ZLibCompress_ours(benchmark::State& state) {
  compressOurs(state, Codec::kZLib);
}

void BM_ZLibCompress_direct(benchmark::State& state) {
  const Bytes& in = input(state.range(0));
  Bytes& out = target(compressBound(in.size()));
  uLongf length = 0;
  for (auto _ : state) {
    length = compressBound(in.size());
    int rc = compress2(out.data(), &length, in.data(), in.size(), kZLibLevel);
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  finish(state, length);
}

void BM_ZLibDecompress_ours(benchmark::State& state) {
  decompressOurs(state, Codec::kZLib);
}

void BM_ZLibDecompress_direct(benchmark::State& state) {
  const Bytes& source = compressed(Codec::kZLib, state.range(0));
  Bytes& out = target(kInputSize);
  for (auto _ : state) {
    uLongf length = kInputSize;
    int rc = uncompress(out.data(), &length, source.data(), source.size());
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  finish(state, source.size());
}

// ---- xz at preset 1. _direct is lzma_easy_buffer_encode with the preset as it is;
// _directFitted gives the library the same dictionary size as ours (fitted to the
// input), which isolates what our class adds.

void BM_LZMACompress_ours(benchmark::State& state) {
  compressOurs(state, Codec::kLZMA);
}

void lzmaCompressDirect(benchmark::State& state, bool fitted) {
  const Bytes& in = input(state.range(0));
  Bytes& out = target(lzma_stream_buffer_bound(in.size()));
  lzma_options_lzma options;
  lzma_lzma_preset(&options, kLZMAPreset);
  options.dict_size = std::min<std::uint32_t>(
      options.dict_size,
      std::max<std::uint32_t>(LZMA_DICT_SIZE_MIN,
                              std::bit_ceil(static_cast<std::uint32_t>(in.size()))));
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::size_t length = 0;
  for (auto _ : state) {
    length = 0;
    lzma_ret rc = fitted
                      ? lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC64, nullptr, in.data(),
                                                  in.size(), out.data(), &length, out.size())
                      : lzma_easy_buffer_encode(kLZMAPreset, LZMA_CHECK_CRC64, nullptr, in.data(),
                                                in.size(), out.data(), &length, out.size());
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  finish(state, length);
}

void BM_LZMACompress_direct(benchmark::State& state) {
  lzmaCompressDirect(state, false);
}
void BM_LZMACompress_directFitted(benchmark::State& state) {
  lzmaCompressDirect(state, true);
}

void BM_LZMADecompress_ours(benchmark::State& state) {
  decompressOurs(state, Codec::kLZMA);
}

void BM_LZMADecompress_direct(benchmark::State& state) {
  const Bytes& source = compressed(Codec::kLZMA, state.range(0));
  Bytes& out = target(kInputSize);
  for (auto _ : state) {
    std::uint64_t limit = zel::CLZMACompressor::kDecoderMemoryLimit;
    std::size_t inPos = 0;
    std::size_t outPos = 0;
    lzma_ret rc = lzma_stream_buffer_decode(&limit, 0, nullptr, source.data(), &inPos,
                                            source.size(), out.data(), &outPos, kInputSize);
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
  finish(state, source.size());
}

}  // namespace

#define FLECK_COMPRESS_BENCH(name) BENCHMARK(name)->Arg(0)->Arg(1)

FLECK_COMPRESS_BENCH(BM_NullCompress_ours);
FLECK_COMPRESS_BENCH(BM_NullCompress_direct);
FLECK_COMPRESS_BENCH(BM_LZ4Compress_ours);
FLECK_COMPRESS_BENCH(BM_LZ4Compress_direct);
FLECK_COMPRESS_BENCH(BM_LZ4Decompress_ours);
FLECK_COMPRESS_BENCH(BM_LZ4Decompress_direct);
FLECK_COMPRESS_BENCH(BM_LZ4HCCompress_ours);
FLECK_COMPRESS_BENCH(BM_LZ4HCCompress_direct);
FLECK_COMPRESS_BENCH(BM_LZ4HCDecompress_ours);
FLECK_COMPRESS_BENCH(BM_LZ4HCDecompress_direct);
FLECK_COMPRESS_BENCH(BM_ZLibCompress_ours);
FLECK_COMPRESS_BENCH(BM_ZLibCompress_direct);
FLECK_COMPRESS_BENCH(BM_ZLibDecompress_ours);
FLECK_COMPRESS_BENCH(BM_ZLibDecompress_direct);
FLECK_COMPRESS_BENCH(BM_LZMACompress_ours);
FLECK_COMPRESS_BENCH(BM_LZMACompress_direct);
FLECK_COMPRESS_BENCH(BM_LZMACompress_directFitted);
FLECK_COMPRESS_BENCH(BM_LZMADecompress_ours);
FLECK_COMPRESS_BENCH(BM_LZMADecompress_direct);
