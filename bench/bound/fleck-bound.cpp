// The primitive bound of `fleck import` and `fleck export` with lz4 + aes256cbc: the work
// fleck must do per 512 KiB fleck, called directly through OpenSSL's EVP interface and
// liblz4, with no library code, no files and no queues in between.
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
// work above. Output: one line "import|export THREADS MB/s CPU_SECONDS" per pass, MB/s =
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

namespace {

constexpr std::size_t kBlockSize = 512 * 1024;
constexpr std::size_t kHeadSize = 9;  // "FLECK", minReadVersion, writeVersion
constexpr std::size_t kDigestSize = 16;
constexpr std::size_t kIVSize = 16;
constexpr unsigned char kHead[kHeadSize] = {'F', 'L', 'E', 'C', 'K', 1, 0, 1, 0};
unsigned char gKey[32];  // written once before any thread starts

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

// Runs job(worker, block) for every block on `threads` threads.
template <class Job>
Seconds runPass(std::size_t blocks, int threads, Job job) {
  std::atomic<std::size_t> next{0};  // the only shared state; each block is taken once
  const double cpuStart = processCPUSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      Worker worker;
      for (std::size_t b; (b = next.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
        job(worker, b);
      }
    });
  }
  for (std::thread& thread : pool)
    thread.join();
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          processCPUSeconds() - cpuStart};
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
  }
  munmap(mapped, size);
  close(fd);
  return 0;
}
