// Sequential reading of a whole disk: the plain stream against the parallel read-ahead
// stream with 1, 2 and 4 read threads, side by side in one run. Counters: speed_vs_plain
// (ratio to the plain stream measured just before on the same disk) and rss_growth_MiB
// (peak resident growth during the pass, with the high-water mark reset first).
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskStream.h"
#include "fleck/CFleckDiskStreamWithParallelReadAhead.h"
#include "support/BenchData.h"
#include "support/MemoryUsage.h"
#include "support/ScratchFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck::bench {
namespace {

constexpr std::int64_t kDiskSize = std::int64_t{512} << 20;
constexpr int kChunk = 1 << 20;
constexpr const char* kPassword = "bench password";

// One disk per kind of data, written once per process.
struct SharedDisk {
  ScratchFolder folder;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  zel::CURI uri;
  double plainMiBs = 0;
};

SharedDisk& diskFor(DataKind kind) {
  static std::map<DataKind, std::unique_ptr<SharedDisk>> disks;
  auto& slot = disks[kind];
  if (slot == nullptr) {
    slot = std::make_unique<SharedDisk>();
    slot->uri = slot->folder.uri() << "disk";
    CFleckDisk::create(slot->fs, slot->uri, kDiskSize, 1, kPassword, "lz4", -1);
    CFleckDisk disk(slot->fs, slot->uri, kPassword, zel::IIOStream::AccessReadWrite, 4);
    const auto fleck = makeData(kind, static_cast<std::size_t>(disk.getFleckSize()), 1);
    std::vector<unsigned char> piece(fleck);
    for (std::int64_t at = 0; at < kDiskSize; at += disk.getFleckSize()) {
      piece[at / disk.getFleckSize() % piece.size()] ^= 1;  // no two flecks alike
      disk.write(piece.data(), static_cast<int>(piece.size()));
    }
    disk.flushChanges();
  }
  return *slot;
}

std::int64_t readAll(zel::IInStream& stream, std::vector<unsigned char>& buffer) {
  std::int64_t total = 0;
  while (int n = stream.readLax(buffer.data(), kChunk))
    total += n;
  return total;
}

void report(benchmark::State& state, SharedDisk& shared, std::int64_t rssBefore, double seconds) {
  state.SetBytesProcessed(state.iterations() * kDiskSize);
  const double mibs = static_cast<double>(kDiskSize) / (1 << 20) / seconds;
  state.counters["MiB_per_s"] = mibs;
  if (shared.plainMiBs > 0) state.counters["speed_vs_plain"] = mibs / shared.plainMiBs;
  state.counters["rss_growth_MiB"] =
      static_cast<double>(peakResidentBytes() - rssBefore) / (1 << 20);
}

void BM_ReadPlain(benchmark::State& state) {
  const auto kind = static_cast<DataKind>(state.range(0));
  SharedDisk& shared = diskFor(kind);
  state.SetLabel(dataKindName(kind));
  std::vector<unsigned char> buffer(kChunk);
  trimAndResetPeakResident();
  const std::int64_t rssBefore = residentBytes();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto disk =
        zel::make<CFleckDisk>(shared.fs, shared.uri, kPassword, zel::IIOStream::AccessRead, 1);
    auto stream = zel::make<CFleckDiskStream>(disk);
    if (readAll(*stream, buffer) != kDiskSize) state.SkipWithError("short read");
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  shared.plainMiBs = static_cast<double>(kDiskSize) / (1 << 20) / seconds;
  report(state, shared, rssBefore, seconds);
}

void BM_ReadAhead(benchmark::State& state) {
  const auto kind = static_cast<DataKind>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  SharedDisk& shared = diskFor(kind);
  state.SetLabel(dataKindName(kind));
  std::vector<unsigned char> buffer(kChunk);
  trimAndResetPeakResident();
  const std::int64_t rssBefore = residentBytes();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto disk =
        zel::make<CFleckDisk>(shared.fs, shared.uri, kPassword, zel::IIOStream::AccessRead, 1);
    auto stream = zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, threads);
    if (readAll(*stream, buffer) != kDiskSize) state.SkipWithError("short read");
    stream->close();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  report(state, shared, rssBefore, seconds);
  state.counters["fleck_buffers_bound_MiB"] = (threads + 2) * 0.5;
}

// Plain first for each kind, so that the ratios compare passes made side by side.
BENCHMARK(BM_ReadPlain)
    ->Arg(static_cast<int>(DataKind::kText))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReadAhead)
    ->Args({static_cast<int>(DataKind::kText), 1})
    ->Args({static_cast<int>(DataKind::kText), 2})
    ->Args({static_cast<int>(DataKind::kText), 4})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReadPlain)
    ->Arg(static_cast<int>(DataKind::kRandom))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReadAhead)
    ->Args({static_cast<int>(DataKind::kRandom), 1})
    ->Args({static_cast<int>(DataKind::kRandom), 2})
    ->Args({static_cast<int>(DataKind::kRandom), 4})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace fleck::bench
