// CFleckDataPreparer::prepareData and unprepareData on one 512 KiB fleck, against the
// bound of the work they must do: the same primitives called directly through OpenSSL's
// EVP interface and liblz4, with nothing in between.
//
//   BM_Prepare/<compressor>_<cipher>/<data>    BM_Unprepare/<compressor>_<cipher>/<data>
//
// Each iteration runs our call and the direct pipeline once each, in alternating order,
// and measures each call's CPU time on its thread (wall-clock time on a shared machine
// mostly measures the other processes): bytes_per_second is ours (the manual time is
// our calls' CPU time), bound_bytes_per_second the direct pipeline's over the same
// iterations, vs_bound = ours / bound. vs_bound_wall_min is the same ratio from the
// fastest wall-clock call of each side, as a cross-check. Google Benchmark's CPU column
// holds both sides.
//
// Allocations are counted on the benchmark's thread around each call, after a warm-up:
// allocs_per_call is operator new (our code's only way to allocate), ossl_allocs_per_call
// what OpenSSL allocated inside our call, bound_ossl_allocs_per_call what it allocated
// inside the direct pipeline (OpenSSL 3.0 re-creates a digest's state on every
// EVP_DigestInit, so both sides pay the same there).
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDiskHeader.h"
#include "support/AllocationCounter.h"
#include "support/BenchData.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace {

using fleck::bench::AllocationCounts;
using fleck::bench::DataKind;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPayloadSize = 512 * 1024;  // the default fleck size
constexpr int kWarmUpCalls = 4;
constexpr std::size_t kHeadSize = 9;     // magic and two versions
constexpr std::size_t kDigestSize = 16;  // MD5
constexpr std::size_t kIVSize = 16;
constexpr std::size_t kBlockSize = 16;

const unsigned char kKey[32] = {0x3a, 0x91, 0x0c, 0x5e, 0xd2, 0x47, 0x88, 0x1f, 0x60, 0xb3, 0x2d,
                                0xe4, 0x75, 0x19, 0xca, 0x0b, 0x9e, 0x33, 0x58, 0xf1, 0x26, 0x8d,
                                0x44, 0xaf, 0x13, 0x7c, 0xe9, 0x52, 0x0d, 0xb6, 0x6b, 0x21};

enum class Mode {
  kLZ4AES,  // "lz4" + "aes256cbc"
  kNull,    // "null" + "null"
};

const char* modeName(Mode mode) {
  return mode == Mode::kLZ4AES ? "lz4_aes256cbc" : "null_null";
}

fleck::CFleckDiskHeader makeHeader(Mode mode) {
  fleck::CFleckDiskHeader header;
  header.setFleckSize(static_cast<int>(kPayloadSize));
  header.setCompressID(mode == Mode::kLZ4AES ? "lz4" : "null");
  header.setCipherID(mode == Mode::kLZ4AES ? "aes256cbc" : "null");
  return header;
}

zel::TCryptBuffer<unsigned char> makeKey(Mode mode) {
  if (mode == Mode::kNull) return zel::TCryptBuffer<unsigned char>();
  return zel::TCryptBuffer<unsigned char>(kKey, sizeof kKey);
}

// The record format made with direct library calls: head, MD5 of the payload, then the
// LZ4 block encrypted with AES-256-CBC behind a fresh random vector (or, unencrypted,
// the payload as it is, copied once), then MD5 of everything before. For lz4 + aes this
// is exactly the minimum the format asks for; the preparer's records decode here and
// these decode in the preparer (checked before timing). Not thread-safe.
class DirectPipeline final {
 public:
  // `head` is the 9-byte head our records start with.
  DirectPipeline(Mode mode, const unsigned char* head)
      : encrypted(mode == Mode::kLZ4AES),
        md(EVP_MD_fetch(nullptr, "MD5", nullptr)),
        mdContext(EVP_MD_CTX_new()),
        cipher(EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr)),
        cipherContext(EVP_CIPHER_CTX_new()),
        lz4State((static_cast<std::size_t>(LZ4_sizeofState()) + sizeof(std::max_align_t) - 1) /
                 sizeof(std::max_align_t)),
        work(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(kPayloadSize))) + kIVSize +
             2 * kBlockSize),
        recordBuffer(kHeadSize + 2 * kDigestSize + work.size()),
        payloadBuffer(kPayloadSize) {
    std::memcpy(recordBuffer.data(), head, kHeadSize);
    ok = md != nullptr && mdContext != nullptr && cipher != nullptr && cipherContext != nullptr &&
         EVP_CipherInit_ex2(cipherContext, cipher, nullptr, nullptr, 1, nullptr) == 1;
  }
  ~DirectPipeline() {
    EVP_CIPHER_CTX_free(cipherContext);
    EVP_CIPHER_free(cipher);
    EVP_MD_CTX_free(mdContext);
    EVP_MD_free(md);
  }
  DirectPipeline(const DirectPipeline&) = delete;
  DirectPipeline& operator=(const DirectPipeline&) = delete;

  bool isReady() const { return ok; }
  const std::vector<unsigned char>& record() const { return recordBuffer; }
  std::size_t recordSize() const { return recordUsed; }
  const std::vector<unsigned char>& payload() const { return payloadBuffer; }
  std::size_t payloadSize() const { return payloadUsed; }

  // Payload to record; false when a library call fails.
  bool prepare(const unsigned char* payload, std::size_t n) {
    unsigned char* const r = recordBuffer.data();
    if (!digest(payload, n, r + kHeadSize)) return false;
    std::size_t used = kHeadSize + kDigestSize;
    if (encrypted) {
      const int compressed =
          LZ4_compress_fast_extState(lz4State.data(), reinterpret_cast<const char*>(payload),
                                     reinterpret_cast<char*>(work.data()), static_cast<int>(n),
                                     static_cast<int>(work.size()), 1);
      unsigned char* const iv = r + used;
      int body = 0;
      int last = 0;
      if (compressed <= 0 || RAND_bytes(iv, kIVSize) != 1 ||
          EVP_CipherInit_ex2(cipherContext, nullptr, kKey, iv, 1, nullptr) != 1 ||
          EVP_CipherUpdate(cipherContext, iv + kIVSize, &body, work.data(), compressed) != 1 ||
          EVP_CipherFinal_ex(cipherContext, iv + kIVSize + body, &last) != 1) {
        return false;
      }
      used += kIVSize + static_cast<std::size_t>(body + last);
    } else {
      std::memcpy(r + used, payload, n);
      used += n;
    }
    if (!digest(r, used, r + used)) return false;
    recordUsed = used + kDigestSize;
    return true;
  }

  // Record to payload with every check; false when a check or a library call fails.
  bool unprepare(const unsigned char* record, std::size_t n) {
    unsigned char check[EVP_MAX_MD_SIZE];
    if (n < kHeadSize + 2 * kDigestSize || !digest(record, n - kDigestSize, check) ||
        std::memcmp(check, record + n - kDigestSize, kDigestSize) != 0 ||
        std::memcmp(record, recordBuffer.data(), 5) != 0) {
      return false;
    }
    const unsigned char* const body = record + kHeadSize + kDigestSize;
    const std::size_t bodySize = n - kHeadSize - 2 * kDigestSize;
    if (encrypted) {
      int plain = 0;
      int last = 0;
      if (bodySize < kIVSize + kBlockSize ||
          EVP_CipherInit_ex2(cipherContext, nullptr, kKey, body, 0, nullptr) != 1 ||
          EVP_CipherUpdate(cipherContext, work.data(), &plain, body + kIVSize,
                           static_cast<int>(bodySize - kIVSize)) != 1 ||
          EVP_CipherFinal_ex(cipherContext, work.data() + plain, &last) != 1) {
        return false;
      }
      const int length = LZ4_decompress_safe(reinterpret_cast<const char*>(work.data()),
                                             reinterpret_cast<char*>(payloadBuffer.data()),
                                             plain + last, static_cast<int>(payloadBuffer.size()));
      if (length < 0) return false;
      payloadUsed = static_cast<std::size_t>(length);
    } else {
      if (bodySize > payloadBuffer.size()) return false;
      std::memcpy(payloadBuffer.data(), body, bodySize);
      payloadUsed = bodySize;
    }
    return digest(payloadBuffer.data(), payloadUsed, check) &&
           std::memcmp(check, record + kHeadSize, kDigestSize) == 0;
  }

 private:
  bool digest(const unsigned char* data, std::size_t n, unsigned char* out) {
    unsigned int length = 0;
    return EVP_DigestInit_ex2(mdContext, md, nullptr) == 1 &&
           EVP_DigestUpdate(mdContext, data, n) == 1 &&
           EVP_DigestFinal_ex(mdContext, out, &length) == 1 && length == kDigestSize;
  }

  const bool encrypted;
  EVP_MD* md;
  EVP_MD_CTX* mdContext;
  EVP_CIPHER* cipher;
  EVP_CIPHER_CTX* cipherContext;
  std::vector<std::max_align_t> lz4State;
  std::vector<unsigned char> work;
  std::vector<unsigned char> recordBuffer;
  std::size_t recordUsed = 0;
  std::vector<unsigned char> payloadBuffer;
  std::size_t payloadUsed = 0;
  bool ok = false;
};

// Seconds of CPU time this thread has used. Unlike wall-clock time it does not grow
// while the thread waits for a core, which on a shared machine is most of the noise.
double threadCPUSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Time and allocations of one side over the timed calls.
struct Tally {
  double cpuSeconds = 0;
  double fastestWallSeconds = 0;
  AllocationCounts allocations;

  // Runs f once; returns its CPU seconds.
  template <class F>
  double run(F&& f) {
    const AllocationCounts before = fleck::bench::threadAllocationCounts();
    const Clock::time_point start = Clock::now();
    const double cpuStart = threadCPUSeconds();
    f();
    const double cpu = threadCPUSeconds() - cpuStart;
    const Clock::time_point end = Clock::now();
    const AllocationCounts after = fleck::bench::threadAllocationCounts();
    allocations.cxx += after.cxx - before.cxx;
    allocations.openssl += after.openssl - before.openssl;
    const double wall = std::chrono::duration<double>(end - start).count();
    if (fastestWallSeconds == 0 || wall < fastestWallSeconds) fastestWallSeconds = wall;
    cpuSeconds += cpu;
    return cpu;
  }
};

// Runs both sides once per iteration, the order alternating; the iteration's manual
// time is our call's CPU time.
template <class Ours, class Bound>
void runSideBySide(benchmark::State& state, Tally& ours, Tally& bound, Ours&& runOurs,
                   Bound&& runBound) {
  bool boundFirst = false;
  bool failed = false;
  for (auto _ : state) {
    if (boundFirst) bound.run([&] { failed |= !runBound(); });
    const double elapsed = ours.run(runOurs);
    if (!boundFirst) bound.run([&] { failed |= !runBound(); });
    boundFirst = !boundFirst;
    state.SetIterationTime(elapsed);
    if (failed) {
      state.SkipWithError("direct pipeline failed");
      break;
    }
  }
}

void report(benchmark::State& state, const Tally& ours, const Tally& bound, std::string label) {
  const auto calls = static_cast<double>(state.iterations());
  if (calls == 0 || ours.cpuSeconds <= 0 || bound.cpuSeconds <= 0) return;
  const double bytes = calls * static_cast<double>(kPayloadSize);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["bound_bytes_per_second"] = benchmark::Counter(
      bytes / bound.cpuSeconds, benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
  state.counters["vs_bound"] = bound.cpuSeconds / ours.cpuSeconds;
  state.counters["vs_bound_wall_min"] = bound.fastestWallSeconds / ours.fastestWallSeconds;
  state.counters["allocs_per_call"] = static_cast<double>(ours.allocations.cxx) / calls;
  const bool counting = fleck::bench::isCountingOpenSSL();
  state.counters["ossl_allocs_per_call"] =
      counting ? static_cast<double>(ours.allocations.openssl) / calls : -1.0;
  state.counters["bound_ossl_allocs_per_call"] =
      counting ? static_cast<double>(bound.allocations.openssl) / calls : -1.0;
  if (bound.allocations.cxx != 0) label += ", direct pipeline used operator new?";
  state.SetLabel(label);
}

std::string describe(DataKind kind, std::size_t recordSize) {
  char ratio[32];
  std::snprintf(ratio, sizeof ratio, "%.3f",
                static_cast<double>(recordSize) / static_cast<double>(kPayloadSize));
  return std::string(fleck::bench::dataKindName(kind)) + ", record/payload " + ratio;
}

bool sameBytes(const zel::TBuffer<unsigned char>& a, const unsigned char* b, std::size_t n) {
  return a.getUsed() == n && std::memcmp(a.getData(), b, n) == 0;
}

void BM_Prepare(benchmark::State& state, Mode mode, DataKind kind) {
  const std::vector<unsigned char> data = fleck::bench::makeData(kind, kPayloadSize, 1);
  const zel::TBuffer<unsigned char> payload(data.data(), data.size());
  fleck::CFleckDataPreparer preparer(makeHeader(mode), makeKey(mode));
  zel::TBuffer<unsigned char> record;
  zel::TBuffer<unsigned char> decoded;
  preparer.prepareData(payload, record);
  DirectPipeline direct(mode, record.getData());

  // Warm up both sides (buffers reach their size, OpenSSL its per-thread state), and
  // check that each side's record decodes on the other side.
  bool ok = direct.isReady();
  for (int i = 0; i < kWarmUpCalls && ok; ++i) {
    preparer.prepareData(payload, record);
    ok = direct.prepare(payload.getData(), payload.getUsed());
  }
  ok = ok && direct.unprepare(record.getData(), record.getUsed()) &&
       direct.payloadSize() == payload.getUsed() &&
       std::memcmp(direct.payload().data(), payload.getData(), payload.getUsed()) == 0;
  if (ok) {
    const zel::TBuffer<unsigned char> directRecord(direct.record().data(), direct.recordSize());
    preparer.unprepareData(directRecord, decoded);
    ok = sameBytes(decoded, payload.getData(), payload.getUsed());
  }
  if (!ok) {
    state.SkipWithError("our records and the direct pipeline's do not match");
    return;
  }
  const std::size_t recordSize = record.getUsed();

  Tally ours;
  Tally bound;
  runSideBySide(
      state, ours, bound,
      [&] {
        preparer.prepareData(payload, record);
        benchmark::DoNotOptimize(record.getData());
        benchmark::ClobberMemory();
      },
      [&] {
        const bool done = direct.prepare(payload.getData(), payload.getUsed());
        benchmark::DoNotOptimize(direct.record().data());
        benchmark::ClobberMemory();
        return done;
      });
  report(state, ours, bound, describe(kind, recordSize));
}

void BM_Unprepare(benchmark::State& state, Mode mode, DataKind kind) {
  const std::vector<unsigned char> data = fleck::bench::makeData(kind, kPayloadSize, 1);
  const zel::TBuffer<unsigned char> payload(data.data(), data.size());
  fleck::CFleckDataPreparer preparer(makeHeader(mode), makeKey(mode));
  zel::TBuffer<unsigned char> record;
  zel::TBuffer<unsigned char> decoded;
  preparer.prepareData(payload, record);
  DirectPipeline direct(mode, record.getData());

  bool ok = direct.isReady();
  for (int i = 0; i < kWarmUpCalls && ok; ++i) {
    preparer.unprepareData(record, decoded);
    ok = direct.unprepare(record.getData(), record.getUsed());
  }
  ok = ok && sameBytes(decoded, payload.getData(), payload.getUsed()) &&
       direct.payloadSize() == payload.getUsed() &&
       std::memcmp(direct.payload().data(), payload.getData(), payload.getUsed()) == 0;
  if (!ok) {
    state.SkipWithError("the record does not decode to the payload");
    return;
  }

  Tally ours;
  Tally bound;
  runSideBySide(
      state, ours, bound,
      [&] {
        preparer.unprepareData(record, decoded);
        benchmark::DoNotOptimize(decoded.getData());
        benchmark::ClobberMemory();
      },
      [&] {
        const bool done = direct.unprepare(record.getData(), record.getUsed());
        benchmark::DoNotOptimize(direct.payload().data());
        benchmark::ClobberMemory();
        return done;
      });
  report(state, ours, bound, describe(kind, record.getUsed()));
}

const bool registered = [] {
  for (const bool unprepare : {false, true}) {
    for (const Mode mode : {Mode::kLZ4AES, Mode::kNull}) {
      for (const DataKind kind : {DataKind::kRandom, DataKind::kText, DataKind::kZeroButOne}) {
        const std::string name = std::string(unprepare ? "BM_Unprepare/" : "BM_Prepare/") +
                                 modeName(mode) + "/" + fleck::bench::dataKindName(kind);
        benchmark::RegisterBenchmark(name.c_str(),
                                     [=](benchmark::State& state) {
                                       try {
                                         if (unprepare) {
                                           BM_Unprepare(state, mode, kind);
                                         } else {
                                           BM_Prepare(state, mode, kind);
                                         }
                                       } catch (const std::exception& e) {
                                         state.SkipWithError(e.what());
                                       }
                                     })
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
      }
    }
  }
  return true;
}();

}  // namespace
