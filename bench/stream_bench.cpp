// The disk streams over a 1 GiB disk whose only written flecks are a 16 MiB window
// (plus a few scattered ones; the rest reads as zeros).
//
// BM_RandomRead4K_{Plain,Cached}/<kind>: 4 KiB reads at random 4 KiB-aligned offsets
// in the window; items_per_second is reads per second of wall time (the plain stream
// waits for the file system). The plain stream reloads (and
// decodes) a fleck whenever a read lands in another fleck than the one before; the
// cached one keeps the whole window. The cached run reports speedup_vs_plain, the
// ratio of its reads per second to the plain run's of the same kind (run both).
// <kind>: 0 lz4, 1 null (no compression), 2 lz4 with aes256cbc encryption.
//
// BM_SequentialByteReads_{Plain,Cached}: 1-byte reads through 8 flecks with a fresh
// stream per pass; the cached run reports fleck_loads per pass (8 when each fleck is
// loaded once).

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskStream.h"
#include "fleck/CFleckDiskStreamWithCache.h"
#include "zel/CLocalFileSystem.h"
#include "zel/P.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::int64_t kDiskSize = std::int64_t{1} << 30;
constexpr std::int64_t kWindowStart = std::int64_t{512} << 20;
constexpr std::int64_t kWindowSize = std::int64_t{16} << 20;
constexpr int kReadSize = 4096;
constexpr int kSequentialFlecks = 8;
const char* const kPassword = "bench password";

// A temporary folder for the bench disks, removed at exit.
class BenchFolder {
 public:
  BenchFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "fleck-stream-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~BenchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;

  std::string path;
};

zel::IFileSystem* fileSystem() {
  static zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  return fs;
}

const char* passwordOf(std::int64_t kind) {
  return kind == 2 ? kPassword : "";
}

// Bytes that compress somewhat, like file-system contents: runs, counters and noise.
Bytes contentBytes(std::size_t n, unsigned seed) {
  Bytes bytes(n);
  std::mt19937 engine(seed);
  for (std::size_t i = 0; i < n;) {
    const std::size_t run = std::min<std::size_t>(n - i, 16 + engine() % 240);
    const unsigned kind = engine() % 3;
    const auto value = static_cast<unsigned char>(engine());
    for (std::size_t j = 0; j < run; ++j, ++i) {
      bytes[i] = kind == 0   ? value
                 : kind == 1 ? static_cast<unsigned char>(i)
                             : static_cast<unsigned char>(engine());
    }
  }
  return bytes;
}

// The disk of one kind, made on first use: the window written, and one fleck every
// 64 MiB elsewhere.
zel::CURI benchDisk(std::int64_t kind) {
  static BenchFolder folder;
  static std::map<std::int64_t, zel::CURI> made;
  if (const auto found = made.find(kind); found != made.end()) return found->second;
  const zel::CURI uri = zel::CURI::fromLocalPath(folder.path)
                        << ("disk" + std::to_string(kind)).c_str();
  fleck::CFleckDisk::create(fileSystem(), uri, kDiskSize, 1, passwordOf(kind),
                            kind == 1 ? "null" : "lz4", -1);
  {
    fleck::CFleckDisk disk(fileSystem(), uri, passwordOf(kind), zel::IIOStream::AccessReadWrite, 4);
    const Bytes window = contentBytes(static_cast<std::size_t>(kWindowSize), 1);
    disk.seek(kWindowStart);
    disk.write(window.data(), static_cast<int>(window.size()));
    const Bytes scattered = contentBytes(static_cast<std::size_t>(disk.getFleckSize()), 2);
    for (std::int64_t at = 0; at < kDiskSize; at += std::int64_t{64} << 20) {
      if (at == kWindowStart) continue;
      disk.seek(at);
      disk.write(scattered.data(), static_cast<int>(scattered.size()));
    }
  }
  made[kind] = uri;
  return uri;
}

zel::P<fleck::CFleckDisk> openDisk(std::int64_t kind) {
  return zel::make<fleck::CFleckDisk>(fileSystem(), benchDisk(kind), passwordOf(kind),
                                      zel::IIOStream::AccessRead, 1);
}

// Reads per second of the last plain run of each kind, for the cached run's ratio.
std::map<std::int64_t, double>& plainRates() {
  static std::map<std::int64_t, double> rates;
  return rates;
}

template <class Stream>
double randomReads(benchmark::State& state, Stream& stream) {
  std::mt19937_64 engine(42);
  std::uniform_int_distribution<std::int64_t> block(0, kWindowSize / kReadSize - 1);
  Bytes buffer(kReadSize);
  std::int64_t reads = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    stream.seek(kWindowStart + block(engine) * kReadSize);
    stream.read(buffer.data(), kReadSize);
    benchmark::DoNotOptimize(buffer.data());
    ++reads;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  state.SetItemsProcessed(reads);
  state.SetBytesProcessed(reads * kReadSize);
  return elapsed.count() > 0 ? static_cast<double>(reads) / elapsed.count() : 0.0;
}

void BM_RandomRead4K_Plain(benchmark::State& state) {
  const std::int64_t kind = state.range(0);
  zel::P<fleck::CFleckDisk> disk = openDisk(kind);
  fleck::CFleckDiskStream stream(disk);
  plainRates()[kind] = randomReads(state, stream);
  stream.close();
}

void BM_RandomRead4K_Cached(benchmark::State& state) {
  const std::int64_t kind = state.range(0);
  zel::P<fleck::CFleckDisk> disk = openDisk(kind);
  fleck::CFleckDiskStreamWithCache stream(disk);
  const double rate = randomReads(state, stream);
  if (const auto plain = plainRates().find(kind);
      plain != plainRates().end() && plain->second > 0) {
    state.counters["speedup_vs_plain"] = rate / plain->second;
  }
  state.counters["fleck_loads"] = static_cast<double>(stream.getFleckLoadCount());
  stream.close();
}

BENCHMARK(BM_RandomRead4K_Plain)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_RandomRead4K_Cached)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

template <class Stream>
void sequentialBytes(benchmark::State& state, bool countLoads) {
  zel::P<fleck::CFleckDisk> disk = openDisk(0);
  const std::int64_t span = kSequentialFlecks * disk->getFleckSize();
  std::int64_t loads = 0;
  std::int64_t passes = 0;
  for (auto _ : state) {
    Stream stream(disk);
    stream.seek(kWindowStart);
    unsigned char byte = 0;
    unsigned sum = 0;
    for (std::int64_t i = 0; i < span; ++i) {
      stream.read(&byte, 1);
      sum += byte;
    }
    benchmark::DoNotOptimize(sum);
    if constexpr (std::is_same_v<Stream, fleck::CFleckDiskStreamWithCache>)
      loads += stream.getFleckLoadCount();
    ++passes;
  }
  state.SetBytesProcessed(passes * span);
  if (countLoads && passes > 0)
    state.counters["fleck_loads"] = static_cast<double>(loads) / static_cast<double>(passes);
}

void BM_SequentialByteReads_Plain(benchmark::State& state) {
  sequentialBytes<fleck::CFleckDiskStream>(state, false);
}
void BM_SequentialByteReads_Cached(benchmark::State& state) {
  sequentialBytes<fleck::CFleckDiskStreamWithCache>(state, true);
}

BENCHMARK(BM_SequentialByteReads_Plain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SequentialByteReads_Cached)->Unit(benchmark::kMillisecond);

}  // namespace
