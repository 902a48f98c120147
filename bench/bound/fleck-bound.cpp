// The primitive bound of `fleck import` and `fleck export` with lz4 + aes256cbc: the work
// fleck must do per 512 KiB fleck, called directly through OpenSSL's EVP interface and
// liblz4, with no library code, no files and no queues in between. The batched passes
// do the same work 16 flecks at a time through keel's batch primitives (CMD5Batch,
// CCipherBatch_AES256CBC), the bound of a fleck layer that hands them batches.
//
//   fleck-bound IMAGE [THREADS...]     (default thread counts: 1 and the number of cores)
//
// Per block of the image (the last one may be shorter), as a fleck record is built and read:
//   import: skip an all-zero block; MD5 of the block; LZ4_compress_fast_extState
//           (acceleration 1); AES-256-CBC with a new RAND_bytes vector over the compressed
//           bytes; MD5 of the record (head, payload digest, vector, cipher text);
//   export: MD5 of the record and compare; AES-256-CBC decrypt; LZ4_decompress_safe;
//           MD5 of the block and compare.
// Blocks are handed out to the threads one at a time from a shared counter. The image is
// mapped and faulted in before any timing, and the records the export passes read are
// built (and checked against the image) before as well, so the timed passes do only the
// work above. Batched passes: per 16 blocks, MD5 of the non-zero blocks as one batch,
// LZ4 per block, AES-256-CBC of the compressed bytes as one batch, MD5 of the records as
// one batch; export: MD5 of the records as one batch, decryption and LZ4 per record, MD5
// of the blocks as one batch. Output: one line
// "import|export|import-batched|export-batched THREADS MB/s CPU_SECONDS" per pass, MB/s =
// image bytes (zero blocks included) / 10^6 / wall seconds, the same measure the
// comparison uses for tools, and the process's CPU time (user + system) in the pass.
#include <fcntl.h>
#include <lz4.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "keel/CCipherBatch_AES256CBC.h"
#include "keel/CMD5Batch.h"

namespace {

constexpr std::size_t kBlockSize = 512 * 1024;
constexpr std::size_t kHeadSize = 9;  // "FLECK", minReadVersion, writeVersion
constexpr std::size_t kDigestSize = 16;
constexpr std::size_t kIVSize = 16;
constexpr unsigned char kHead[kHeadSize] = {'F', 'L', 'E', 'C', 'K', 1, 0, 1, 0};
constexpr std::size_t kBatch = 16;  // blocks per batch in the batched passes
unsigned char gKey[32];             // written once before any thread starts

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fleck-bound: %s\n", what.c_str());
  std::exit(1);
}

bool isAllZero(const unsigned char* p, std::size_t n) {
  return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

// One thread's contexts and buffers; used by its thread only.
class Worker final {
 public:
  Worker()
      : md(EVP_MD_fetch(nullptr, "MD5", nullptr)),
        mdContext(EVP_MD_CTX_new()),
        cipher(EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr)),
        cipherContext(EVP_CIPHER_CTX_new()),
        lz4State((LZ4_sizeofState() + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t)),
        work(static_cast<std::size_t>(LZ4_compressBound(kBlockSize)) + 32),
        record(kHeadSize + 2 * kDigestSize + kIVSize + work.size() + 16),
        payload(kBlockSize) {
    if (md == nullptr || mdContext == nullptr || cipher == nullptr || cipherContext == nullptr) {
      fail("OpenSSL has no MD5 or AES-256-CBC");
    }
  }
  ~Worker() {
    EVP_CIPHER_CTX_free(cipherContext);
    EVP_CIPHER_free(cipher);
    EVP_MD_CTX_free(mdContext);
    EVP_MD_free(md);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Builds the record of n bytes at p in this worker's buffer; returns its size.
  std::size_t prepare(const unsigned char* p, std::size_t n) {
    unsigned char* const r = record.data();
    std::memcpy(r, kHead, kHeadSize);
    digest(p, n, r + kHeadSize);
    const int compressed = LZ4_compress_fast_extState(
        lz4State.data(), reinterpret_cast<const char*>(p), reinterpret_cast<char*>(work.data()),
        static_cast<int>(n), static_cast<int>(work.size()), 1);
    unsigned char* const iv = r + kHeadSize + kDigestSize;
    int body = 0;
    int last = 0;
    if (compressed <= 0 || RAND_bytes(iv, kIVSize) != 1 ||
        EVP_CipherInit_ex2(cipherContext, cipher, gKey, iv, 1, nullptr) != 1 ||
        EVP_CipherUpdate(cipherContext, iv + kIVSize, &body, work.data(), compressed) != 1 ||
        EVP_CipherFinal_ex(cipherContext, iv + kIVSize + body, &last) != 1) {
      fail("compressing or encrypting failed");
    }
    const std::size_t used =
        kHeadSize + kDigestSize + kIVSize + static_cast<std::size_t>(body + last);
    digest(r, used, r + used);
    return used + kDigestSize;
  }

  // Checks and decodes a record into this worker's payload buffer; returns the length.
  std::size_t unprepare(const unsigned char* r, std::size_t n) {
    unsigned char check[kDigestSize];
    digest(r, n - kDigestSize, check);
    if (std::memcmp(check, r + n - kDigestSize, kDigestSize) != 0) fail("record digest differs");
    const unsigned char* const iv = r + kHeadSize + kDigestSize;
    int plain = 0;
    int last = 0;
    if (EVP_CipherInit_ex2(cipherContext, cipher, gKey, iv, 0, nullptr) != 1 ||
        EVP_CipherUpdate(cipherContext, work.data(), &plain, iv + kIVSize,
                         static_cast<int>(n - kHeadSize - 2 * kDigestSize - kIVSize)) != 1 ||
        EVP_CipherFinal_ex(cipherContext, work.data() + plain, &last) != 1) {
      fail("decrypting failed");
    }
    const int length =
        LZ4_decompress_safe(reinterpret_cast<const char*>(work.data()),
                            reinterpret_cast<char*>(payload.data()), plain + last, kBlockSize);
    if (length < 0) fail("decompressing failed");
    digest(payload.data(), static_cast<std::size_t>(length), check);
    if (std::memcmp(check, r + kHeadSize, kDigestSize) != 0) fail("payload digest differs");
    return static_cast<std::size_t>(length);
  }

  const unsigned char* recordData() const { return record.data(); }
  const unsigned char* payloadData() const { return payload.data(); }
  const zel::TBuffer<unsigned char>& batchRecord(std::size_t i) const { return batchRecords[i]; }

  // prepare for n <= kBatch blocks at once; the records end up in batchRecords.
  void prepareBatch(const unsigned char* const* blocks, const std::size_t* sizes, std::size_t n) {
    keel::BatchBuffer in[kBatch];
    unsigned char digests[kBatch * kDigestSize];
    for (std::size_t i = 0; i < n; ++i)
      in[i] = {blocks[i], sizes[i]};
    keel::CMD5Batch::digest(in, n, digests);
    for (std::size_t i = 0; i < n; ++i) {
      const int compressed = LZ4_compress_fast_extState(
          lz4State.data(), reinterpret_cast<const char*>(blocks[i]),
          reinterpret_cast<char*>(batchWork[i].data()), static_cast<int>(sizes[i]),
          static_cast<int>(batchWork[i].size()), 1);
      if (compressed <= 0) fail("compressing failed");
      in[i] = {batchWork[i].data(), static_cast<std::size_t>(compressed)};
      batchRecords[i].assign(kHead, kHeadSize);
      batchRecords[i].append(digests + i * kDigestSize, kDigestSize);
    }
    // Vector and cipher text go straight behind head and payload digest.
    batchCipher.encrypt(key, in, n, batchRecords.data(), keel::ICipher::kAppend);
    for (std::size_t i = 0; i < n; ++i)
      in[i] = {batchRecords[i].getData(), batchRecords[i].getUsed()};
    keel::CMD5Batch::digest(in, n, digests);
    for (std::size_t i = 0; i < n; ++i)
      batchRecords[i].append(digests + i * kDigestSize, kDigestSize);
  }

  // unprepare for n <= kBatch records at once, into batchPayloads.
  void unprepareBatch(const unsigned char* const* records, const std::size_t* sizes,
                      std::size_t n) {
    keel::BatchBuffer in[kBatch];
    unsigned char digests[kBatch * kDigestSize];
    for (std::size_t i = 0; i < n; ++i)
      in[i] = {records[i], sizes[i] - kDigestSize};
    keel::CMD5Batch::digest(in, n, digests);
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char* const r = records[i];
      if (std::memcmp(digests + i * kDigestSize, r + sizes[i] - kDigestSize, kDigestSize) != 0)
        fail("record digest differs");
      const unsigned char* const iv = r + kHeadSize + kDigestSize;
      int plain = 0;
      int last = 0;
      if (EVP_CipherInit_ex2(cipherContext, cipher, gKey, iv, 0, nullptr) != 1 ||
          EVP_CipherUpdate(cipherContext, work.data(), &plain, iv + kIVSize,
                           static_cast<int>(sizes[i] - kHeadSize - 2 * kDigestSize - kIVSize)) !=
              1 ||
          EVP_CipherFinal_ex(cipherContext, work.data() + plain, &last) != 1) {
        fail("decrypting failed");
      }
      const int length = LZ4_decompress_safe(reinterpret_cast<const char*>(work.data()),
                                             reinterpret_cast<char*>(batchPayloads[i].data()),
                                             plain + last, kBlockSize);
      if (length < 0) fail("decompressing failed");
      in[i] = {batchPayloads[i].data(), static_cast<std::size_t>(length)};
    }
    keel::CMD5Batch::digest(in, n, digests);
    for (std::size_t i = 0; i < n; ++i) {
      if (std::memcmp(digests + i * kDigestSize, records[i] + kHeadSize, kDigestSize) != 0)
        fail("payload digest differs");
    }
  }

 private:
  void digest(const unsigned char* p, std::size_t n, unsigned char* out) {
    unsigned int length = 0;
    if (EVP_DigestInit_ex2(mdContext, md, nullptr) != 1 || EVP_DigestUpdate(mdContext, p, n) != 1 ||
        EVP_DigestFinal_ex(mdContext, out, &length) != 1 || length != kDigestSize) {
      fail("MD5 failed");
    }
  }

  EVP_MD* md;
  EVP_MD_CTX* mdContext;
  EVP_CIPHER* cipher;
  EVP_CIPHER_CTX* cipherContext;
  std::vector<std::max_align_t> lz4State;
  std::vector<unsigned char> work;
  std::vector<unsigned char> record;
  std::vector<unsigned char> payload;
  // The batched passes' buffers, one per block of a batch.
  const zel::TCryptBuffer<unsigned char> key{gKey, sizeof(gKey)};
  keel::CCipherBatch_AES256CBC batchCipher;
  std::vector<std::vector<unsigned char>> batchWork{kBatch, work};
  std::vector<zel::TBuffer<unsigned char>> batchRecords{kBatch};
  std::vector<std::vector<unsigned char>> batchPayloads{kBatch, payload};
};

// CPU seconds (user + system) of the whole process so far.
double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Seconds {
  double wall;
  double cpu;
};

// Runs job(worker, first, count) for every `batch` blocks on `threads` threads.
template <class Job>
Seconds runBatchPass(std::size_t blocks, std::size_t batch, int threads, Job job) {
  std::atomic<std::size_t> next{0};  // the only shared state; each block is taken once
  const double cpuStart = processCPUSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      Worker worker;
      for (std::size_t b; (b = next.fetch_add(batch, std::memory_order_relaxed)) < blocks;) {
        job(worker, b, std::min(batch, blocks - b));
      }
    });
  }
  for (std::thread& thread : pool)
    thread.join();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          processCPUSeconds() - cpuStart};
}

// Runs job(worker, block) for every block on `threads` threads.
template <class Job>
Seconds runPass(std::size_t blocks, int threads, Job job) {
  return runBatchPass(blocks, 1, threads,
                      [&](Worker& w, std::size_t b, std::size_t) { job(w, b); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) fail("usage: fleck-bound IMAGE [THREADS...]");
  std::vector<int> threadCounts;
  for (int i = 2; i < argc; ++i)
    threadCounts.push_back(std::atoi(argv[i]));
  if (threadCounts.empty()) {
    threadCounts = {1, static_cast<int>(std::thread::hardware_concurrency())};
  }

  const int fd = open(argv[1], O_RDONLY);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0 || info.st_size <= 0)
    fail(std::string("cannot read ") + argv[1]);
  const auto size = static_cast<std::size_t>(info.st_size);
  void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (mapped == MAP_FAILED) fail("cannot map the image");
  const auto* image = static_cast<const unsigned char*>(mapped);
  const std::size_t blocks = (size + kBlockSize - 1) / kBlockSize;
  auto blockSize = [&](std::size_t b) { return std::min(kBlockSize, size - b * kBlockSize); };
  if (RAND_bytes(gKey, sizeof(gKey)) != 1) fail("RAND_bytes failed");

  // Untimed: the records of every non-zero block, each checked to decode to the image.
  std::vector<std::vector<unsigned char>> records(blocks);
  runPass(blocks, threadCounts.back(), [&](Worker& w, std::size_t b) {
    const unsigned char* p = image + b * kBlockSize;
    if (isAllZero(p, blockSize(b))) return;
    const std::size_t n = w.prepare(p, blockSize(b));
    records[b].assign(w.recordData(), w.recordData() + n);
    if (w.unprepare(records[b].data(), n) != blockSize(b) ||
        std::memcmp(w.payloadData(), p, blockSize(b)) != 0) {
      fail("a record does not decode to its block");
    }
  });
  // And the batched records of the first blocks decode to their blocks as well.
  runBatchPass(std::min(blocks, kBatch), kBatch, 1, [&](Worker& w, std::size_t, std::size_t n) {
    const unsigned char* p[kBatch];
    std::size_t sizes[kBatch];
    for (std::size_t b = 0; b < n; ++b) {
      p[b] = image + b * kBlockSize;
      sizes[b] = blockSize(b);
    }
    w.prepareBatch(p, sizes, n);
    for (std::size_t b = 0; b < n; ++b) {
      const zel::TBuffer<unsigned char>& r = w.batchRecord(b);
      if (w.unprepare(r.getData(), r.getUsed()) != sizes[b] ||
          std::memcmp(w.payloadData(), p[b], sizes[b]) != 0) {
        fail("a batched record does not decode to its block");
      }
    }
  });
  std::size_t stored = 0;
  std::size_t storedBytes = 0;
  for (const auto& r : records) {
    stored += r.empty() ? 0 : 1;
    storedBytes += r.size();
  }
  std::printf("# %zu bytes, %zu blocks of %zu, %zu stored, %zu record bytes\n", size, blocks,
              kBlockSize, stored, storedBytes);

  const double mb = static_cast<double>(size) / 1e6;
  for (int threads : threadCounts) {
    const Seconds importSeconds = runPass(blocks, threads, [&](Worker& w, std::size_t b) {
      const unsigned char* p = image + b * kBlockSize;
      if (!isAllZero(p, blockSize(b))) w.prepare(p, blockSize(b));
    });
    const Seconds exportSeconds = runPass(blocks, threads, [&](Worker& w, std::size_t b) {
      if (!records[b].empty()) w.unprepare(records[b].data(), records[b].size());
    });
    std::printf("import %d %.1f %.2f\nexport %d %.1f %.2f\n", threads, mb / importSeconds.wall,
                importSeconds.cpu, threads, mb / exportSeconds.wall, exportSeconds.cpu);
    std::fflush(stdout);
    const Seconds importBatched =
        runBatchPass(blocks, kBatch, threads, [&](Worker& w, std::size_t first, std::size_t n) {
          const unsigned char* p[kBatch];
          std::size_t sizes[kBatch];
          std::size_t taken = 0;
          for (std::size_t b = first; b < first + n; ++b) {
            p[taken] = image + b * kBlockSize;
            sizes[taken] = blockSize(b);
            if (!isAllZero(p[taken], sizes[taken])) ++taken;
          }
          w.prepareBatch(p, sizes, taken);
        });
    const Seconds exportBatched =
        runBatchPass(blocks, kBatch, threads, [&](Worker& w, std::size_t first, std::size_t n) {
          const unsigned char* r[kBatch];
          std::size_t sizes[kBatch];
          std::size_t taken = 0;
          for (std::size_t b = first; b < first + n; ++b) {
            if (records[b].empty()) continue;
            r[taken] = records[b].data();
            sizes[taken++] = records[b].size();
          }
          w.unprepareBatch(r, sizes, taken);
        });
    std::printf("import-batched %d %.1f %.2f\nexport-batched %d %.1f %.2f\n", threads,
                mb / importBatched.wall, importBatched.cpu, threads, mb / exportBatched.wall,
                exportBatched.cpu);
    std::fflush(stdout);
  }
  munmap(mapped, size);
  close(fd);
  return 0;
}
