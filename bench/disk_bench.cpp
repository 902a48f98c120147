// Sequential writes and reads of a whole fleck disk through CFleckDisk::write and
// CFleckDisk::read, 1 MiB per call, on a local folder under /tmp: "lz4" + "aes256cbc"
// with a password-derived key and the default fleck size (512 KiB).
//
//   BM_DiskWrite/<data>/<MiB>   a new disk written from start to end, flushChanges
//                               included (every fleck stored when the clock stops)
//   BM_DiskRead/<data>/<MiB>    the same disk, written before timing, read back
//
// <data> is text-like (LZ4 ratio about 0.4) or random; the payload cycles through 4 MiB
// of it. One iteration is one pass over the disk, wall-clock time (the stores run on the
// file system's completion threads). Files are read back from the page cache.
//
// Beside each: the single-core rate of the preparer (prepareData for writes,
// unprepareData for reads) on the same data with the disk's header and key, measured
// right before and right after the pass, and the ratio. The CPU-time counters tell what
// the ratio would be on an idle machine: *_cpu_vs_* compares the rate by the calling
// thread's CPU time with the preparer's, and other_threads_cpu (writes) the CPU time of
// every other thread (the stores) with the calling thread's: below 1, the stores fit on
// a second core while the caller prepares.
//
// Memory: before the disk is opened, free heap memory goes back to the system and the
// resident high-water mark is reset (/proc/self/clear_refs); rss_growth_MiB is the peak
// resident set during open + pass + flush over the resident set at that reset, and
// heap_growth_MiB the peak of live heap bytes (operator new and OpenSSL, all threads)
// over the live bytes then. Neither depends on the disk size when memory is bounded.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "support/AllocationCounter.h"
#include "support/BenchData.h"
#include "support/MemoryUsage.h"
#include "support/ScratchFolder.h"
#include "zel/CLocalFileSystem.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace {

using fleck::bench::DataKind;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMiB = std::int64_t{1} << 20;
constexpr int kCallSize = 1 << 20;
constexpr std::size_t kSourceSize = 4 << 20;
constexpr int kBackgroundOps = 4;
constexpr int kReferenceFlecks = 24;  // per measurement; two measurements per benchmark
const char* const kPassword = "correct horse battery staple";

double cpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall-clock and CPU time of one stretch of work on the calling thread (thread) and the
// whole process (process).
struct Span {
  double wall = 0;
  double thread = 0;
  double process = 0;

  Span& operator+=(const Span& other) {
    wall += other.wall;
    thread += other.thread;
    process += other.process;
    return *this;
  }
};

class Stopwatch final {
 public:
  Stopwatch()
      : wall(Clock::now()),
        thread(cpuSeconds(CLOCK_THREAD_CPUTIME_ID)),
        process(cpuSeconds(CLOCK_PROCESS_CPUTIME_ID)) {}
  Span elapsed() const {
    return Span{std::chrono::duration<double>(Clock::now() - wall).count(),
                cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread,
                cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process};
  }

 private:
  Clock::time_point wall;
  double thread;
  double process;
};

// The preparer's own rate on the disk's data: prepares (or unprepares) kReferenceFlecks
// flecks cut from the source, after one untimed call.
Span measurePreparer(const fleck::CFleckDiskHeader& header,
                     const zel::TCryptBuffer<unsigned char>& key,
                     const std::vector<unsigned char>& source, bool unprepare) {
  const auto fleckSize = static_cast<std::size_t>(header.getFleckSize());
  fleck::CFleckDataPreparer preparer(header, key);
  const std::size_t count = source.size() / fleckSize;
  std::vector<zel::TBuffer<unsigned char>> payloads;
  std::vector<zel::TBuffer<unsigned char>> records(count);
  for (std::size_t i = 0; i < count; ++i) {
    payloads.emplace_back(source.data() + i * fleckSize, fleckSize);
    preparer.prepareData(payloads[i], records[i]);
  }
  zel::TBuffer<unsigned char> out;
  out.reserve(records[0].getCapacity());
  auto once = [&](std::size_t i) {
    if (unprepare) {
      preparer.unprepareData(records[i % count], out);
    } else {
      preparer.prepareData(payloads[i % count], out);
    }
    benchmark::DoNotOptimize(out.getData());
  };
  once(0);
  const Stopwatch watch;
  for (std::size_t i = 0; i < kReferenceFlecks; ++i)
    once(i);
  return watch.elapsed();
}

// Peak memory over a stretch; see the file's head.
class MemoryProbe final {
 public:
  MemoryProbe() {
    resetWorked = fleck::bench::trimAndResetPeakResident();
    baseResident = fleck::bench::residentBytes();
    baseHeap = fleck::bench::liveHeapBytes();
    fleck::bench::resetPeakHeapBytes();
  }
  MemoryProbe(const MemoryProbe&) = delete;
  MemoryProbe& operator=(const MemoryProbe&) = delete;

  void report(benchmark::State& state) const {
    const double mib = static_cast<double>(kMiB);
    state.counters["rss_growth_MiB"] =
        resetWorked ? static_cast<double>(fleck::bench::peakResidentBytes() - baseResident) / mib
                    : -1.0;
    state.counters["heap_growth_MiB"] =
        static_cast<double>(fleck::bench::peakHeapBytes() - baseHeap) / mib;
    state.counters["peak_rss_MiB"] = static_cast<double>(fleck::bench::peakResidentBytes()) / mib;
  }

 private:
  bool resetWorked = false;
  std::int64_t baseResident = 0;
  std::int64_t baseHeap = 0;
};

// Everything a benchmark's disk needs; the folder goes when the object does, after the
// file system (declared later) has ended its completion threads.
struct DiskFixture {
  fleck::bench::ScratchFolder folder;
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  zel::CURI diskFolder = folder.uri() << "disk";
  fleck::CFleckDiskHeader header;
  zel::TCryptBuffer<unsigned char> key;

  explicit DiskFixture(std::int64_t diskSize) {
    fleck::CFleckDisk::create(fs, diskFolder, diskSize, 512, kPassword, "lz4", -1);
    header.load(fs, diskFolder);
    fleck::CFleckDisk::deriveCipherKey(key, kPassword, header);
  }
  DiskFixture(const DiskFixture&) = delete;
  DiskFixture& operator=(const DiskFixture&) = delete;
};

void writeWholeDisk(fleck::CFleckDisk& disk, const std::vector<unsigned char>& source) {
  disk.seek(0);
  for (std::int64_t at = 0; at < disk.getSize(); at += kCallSize) {
    disk.write(source.data() + static_cast<std::size_t>(at) % source.size(), kCallSize);
  }
  disk.flushChanges();
}

// Files and bytes of the flecks stored under the disk folder.
std::string describeStored(const DiskFixture& fixture, DataKind kind, std::int64_t diskSize,
                           std::int64_t& files) {
  files = 0;
  std::int64_t bytes = 0;
  const std::filesystem::path root = fixture.folder.path() + "/disk/flecks";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && entry.path().extension() == ".fleck") {
      ++files;
      bytes += static_cast<std::int64_t>(entry.file_size());
    }
  }
  char text[96];
  std::snprintf(text, sizeof text, "%s, stored %.3f of the payload",
                fleck::bench::dataKindName(kind),
                static_cast<double>(bytes) / static_cast<double>(diskSize));
  return text;
}

// verb: "write" or "read"; reference: "prepare" or "unprepare".
void reportRates(benchmark::State& state, const Span& pass, const Span& reference,
                 std::int64_t referenceBytes, const std::string& verb, const std::string& name) {
  const double bytes =
      static_cast<double>(state.iterations()) * static_cast<double>(state.range(0) * kMiB);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  const double referenceRate = static_cast<double>(referenceBytes) / reference.wall;
  state.counters[name + "_bytes_per_second"] = benchmark::Counter(
      referenceRate, benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
  state.counters[verb + "_vs_" + name] = bytes / pass.wall / referenceRate;
  state.counters[verb + "_cpu_vs_" + name] =
      (bytes / pass.thread) / (static_cast<double>(referenceBytes) / reference.thread);
  if (verb == "write") {
    state.counters["other_threads_cpu"] = (pass.process - pass.thread) / pass.thread;
  }
}

void BM_DiskWrite(benchmark::State& state, DataKind kind) {
  const std::int64_t diskSize = state.range(0) * kMiB;
  const std::vector<unsigned char> source = fleck::bench::makeData(kind, kSourceSize, 7);
  DiskFixture fixture(diskSize);

  Span reference = measurePreparer(fixture.header, fixture.key, source, false);
  Span pass;
  bool storeErrors = false;
  const MemoryProbe probe;
  {
    fleck::CFleckDisk disk(fixture.fs, fixture.diskFolder, kPassword,
                           zel::IIOStream::AccessReadWrite, kBackgroundOps);
    for (auto _ : state) {
      const Stopwatch watch;
      writeWholeDisk(disk, source);
      pass += watch.elapsed();
    }
    probe.report(state);
    storeErrors = disk.haveBackgroundErrors();
  }
  reference += measurePreparer(fixture.header, fixture.key, source, false);

  std::int64_t files = 0;
  const std::string label = describeStored(fixture, kind, diskSize, files);
  if (storeErrors || files != diskSize / fixture.header.getFleckSize()) {
    state.SkipWithError("not every fleck was stored");
    return;
  }
  state.SetLabel(label);
  reportRates(state, pass, reference, 2 * kReferenceFlecks * fixture.header.getFleckSize(), "write",
              "prepare");
}

void BM_DiskRead(benchmark::State& state, DataKind kind) {
  const std::int64_t diskSize = state.range(0) * kMiB;
  const std::vector<unsigned char> source = fleck::bench::makeData(kind, kSourceSize, 7);
  DiskFixture fixture(diskSize);
  {
    fleck::CFleckDisk disk(fixture.fs, fixture.diskFolder, kPassword,
                           zel::IIOStream::AccessReadWrite, kBackgroundOps);
    writeWholeDisk(disk, source);
    if (disk.haveBackgroundErrors()) {
      state.SkipWithError("filling the disk failed");
      return;
    }
  }
  std::int64_t files = 0;
  const std::string label = describeStored(fixture, kind, diskSize, files);

  Span reference = measurePreparer(fixture.header, fixture.key, source, true);
  Span pass;
  std::vector<unsigned char> buffer(kCallSize);
  bool intact = true;
  const MemoryProbe probe;
  {
    fleck::CFleckDisk disk(fixture.fs, fixture.diskFolder, kPassword, zel::IIOStream::AccessRead,
                           1);
    for (auto _ : state) {
      const Stopwatch watch;
      disk.seek(0);
      for (std::int64_t at = 0; at < diskSize; at += kCallSize) {
        disk.read(buffer.data(), kCallSize);
        benchmark::DoNotOptimize(buffer.data());
      }
      pass += watch.elapsed();
    }
    probe.report(state);
    // Spot checks after timing: every 16th MiB against the bytes written there.
    for (std::int64_t at = 0; at < diskSize && intact; at += 16 * kMiB) {
      disk.seek(at);
      disk.read(buffer.data(), kCallSize);
      intact =
          std::memcmp(buffer.data(), source.data() + static_cast<std::size_t>(at) % kSourceSize,
                      kCallSize) == 0;
    }
  }
  reference += measurePreparer(fixture.header, fixture.key, source, true);
  if (!intact) {
    state.SkipWithError("read back other bytes than were written");
    return;
  }
  state.SetLabel(label);
  reportRates(state, pass, reference, 2 * kReferenceFlecks * fixture.header.getFleckSize(), "read",
              "unprepare");
}

template <class F>
void guarded(benchmark::State& state, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

const bool registered = [] {
  for (const DataKind kind : {DataKind::kText, DataKind::kRandom}) {
    const std::string suffix = std::string("/") + fleck::bench::dataKindName(kind);
    benchmark::RegisterBenchmark(
        ("BM_DiskWrite" + suffix).c_str(),
        [kind](benchmark::State& state) { guarded(state, [&] { BM_DiskWrite(state, kind); }); })
        ->Arg(64)
        ->Arg(256)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  for (const DataKind kind : {DataKind::kText, DataKind::kRandom}) {
    const std::string suffix = std::string("/") + fleck::bench::dataKindName(kind);
    benchmark::RegisterBenchmark(
        ("BM_DiskRead" + suffix).c_str(),
        [kind](benchmark::State& state) { guarded(state, [&] { BM_DiskRead(state, kind); }); })
        ->Arg(256)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
