#include "keel/CMD5Batch.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "keel/CCryptoError.h"
#include "keel/CEVPDigest.h"
#include "keel/MD5Lanes.h"
#include "zel/CInvalidArgError.h"
#include "zel/Log.h"

namespace keel {

namespace {

using md5_lanes::Lanes;
using Compress = void (*)(Lanes&, std::size_t);

constexpr const char* kSource = "keel::CMD5Batch";
constexpr std::size_t kBlock = md5_lanes::kBlockLength;
constexpr std::uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// What idle lanes read; their results are thrown away.
alignas(64) const unsigned char kIdleBlock[kBlock] = {};

void digestOpenSSL(const BatchBuffer* buffers, std::size_t count, unsigned char* digests) {
  // Fetched once per process; contexts take their own references.
  static const std::unique_ptr<EVP_MD, void (*)(EVP_MD*)> algorithm(
      CEVPDigest::fetchAlgorithm("MD5"), EVP_MD_free);
  const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
  if (context == nullptr) CCryptoError::throwFromOpenSSL(kSource, "EVP_MD_CTX_new failed");
  for (std::size_t i = 0; i < count; ++i) {
    unsigned int length = 0;
    if (EVP_DigestInit_ex2(context.get(), algorithm.get(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), buffers[i].data, buffers[i].length) != 1 ||
        EVP_DigestFinal_ex(context.get(), digests + CMD5Batch::kLength * i, &length) != 1 ||
        length != CMD5Batch::kLength) {
      CCryptoError::throwFromOpenSSL(kSource, "MD5 failed");
    }
  }
}

// One lane's message: its whole blocks straight from the buffer, then one or two blocks
// of the last bytes, padding and bit length, built here.
struct LaneJob {
  std::size_t buffer = 0;  // index into the batch
  std::size_t left = 0;    // blocks left in the current stretch
  int tailBlocks = 0;
  bool inTail = false;
  bool busy = false;
  alignas(64) unsigned char tail[2 * kBlock];
};

// Hashes the batch in `laneCount` lanes with `compress`. Lanes run in lockstep for as
// many blocks as the shortest current stretch allows; then lanes at the end of their
// buffer's whole blocks switch to its tail, and lanes done with the tail take the next
// buffer. Longest buffers go first, so that lanes run out at about the same time; the
// last one left finishes in plain code.
void digestLanes(int laneCount, Compress compress, const BatchBuffer* buffers, std::size_t count,
                 unsigned char* digests) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return buffers[x].length > buffers[y].length;
  });

  Lanes lanes{};  // idle lanes' state is never read, but starts defined
  LaneJob jobs[md5_lanes::kMaxLanes];
  std::size_t taken = 0;
  auto start = [&](int l) {
    LaneJob& job = jobs[l];
    if (taken == count) {
      job.busy = false;
      lanes.next[l] = kIdleBlock;
      lanes.step[l] = 0;
      return;
    }
    job.buffer = order[taken++];
    const BatchBuffer& b = buffers[job.buffer];
    const std::size_t whole = b.length / kBlock;
    const std::size_t rest = b.length % kBlock;
    std::memset(job.tail, 0, sizeof(job.tail));
    if (rest > 0) std::memcpy(job.tail, b.data + whole * kBlock, rest);
    job.tail[rest] = 0x80;
    job.tailBlocks = rest < kBlock - 8 ? 1 : 2;
    const std::uint64_t bits = static_cast<std::uint64_t>(b.length) * 8;  // modulo 2^64
    for (int i = 0; i < 8; ++i)
      job.tail[job.tailBlocks * kBlock - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    for (int w = 0; w < 4; ++w)
      lanes.state[w][l] = kInitialState[w];
    job.inTail = whole == 0;
    job.left = job.inTail ? static_cast<std::size_t>(job.tailBlocks) : whole;
    lanes.next[l] = job.inTail ? job.tail : b.data;
    lanes.step[l] = kBlock;
    job.busy = true;
  };

  auto writeDigest = [&](const LaneJob& job, std::uint32_t a, std::uint32_t b, std::uint32_t c,
                         std::uint32_t d) {
    unsigned char* const out = digests + CMD5Batch::kLength * job.buffer;
    const std::uint32_t words[4] = {a, b, c, d};
    for (int w = 0; w < 4; ++w) {
      for (int i = 0; i < 4; ++i)
        out[4 * w + i] = static_cast<unsigned char>(words[w] >> (8 * i));
    }
  };

  for (int l = 0; l < laneCount; ++l)
    start(l);
  for (;;) {
    std::size_t run = 0;
    int busy = 0, last = 0;
    for (int l = 0; l < laneCount; ++l) {
      if (!jobs[l].busy) continue;
      if (run == 0 || jobs[l].left < run) run = jobs[l].left;
      last = l, ++busy;
    }
    if (busy == 0) break;
    if (busy == 1 && taken == count) {
      // The last buffer alone would run at the speed of one lane; plain code is faster.
      LaneJob& job = jobs[last];
      std::uint32_t state[4];
      for (int w = 0; w < 4; ++w)
        state[w] = lanes.state[w][last];
      md5_lanes::compressScalar(state, lanes.next[last], job.left);
      if (!job.inTail) md5_lanes::compressScalar(state, job.tail, job.tailBlocks);
      writeDigest(job, state[0], state[1], state[2], state[3]);
      break;
    }
    compress(lanes, run);
    for (int l = 0; l < laneCount; ++l) {
      LaneJob& job = jobs[l];
      if (!job.busy || (job.left -= run) > 0) continue;
      if (!job.inTail) {
        job.inTail = true;
        job.left = static_cast<std::size_t>(job.tailBlocks);
        lanes.next[l] = job.tail;
        continue;
      }
      writeDigest(job, lanes.state[0][l], lanes.state[1][l], lanes.state[2][l], lanes.state[3][l]);
      start(l);
    }
  }
}

void run(CMD5Batch::Engine engine, const BatchBuffer* buffers, std::size_t count,
         unsigned char* digests) {
  if (count > 0 && (buffers == nullptr || digests == nullptr))
    throw zel::CInvalidArgError(kSource, "No buffers or no room for the digests");
  for (std::size_t i = 0; i < count; ++i) {
    if (buffers[i].data == nullptr && buffers[i].length > 0) {
      throw zel::CInvalidArgError(kSource, "Null data with a length",
                                  zel::CProps().add("index", i));
    }
  }
  switch (engine) {
    case CMD5Batch::Engine::AVX512:
      digestLanes(16, &md5_lanes::compressAVX512, buffers, count, digests);
      return;
    case CMD5Batch::Engine::AVX2:
      digestLanes(8, &md5_lanes::compressAVX2, buffers, count, digests);
      return;
    default:
      digestOpenSSL(buffers, count, digests);
      return;
  }
}

std::string toHex(const unsigned char* bytes, std::size_t length) {
  std::string hex;
  char two[3];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(two, sizeof(two), "%02x", bytes[i]);
    hex += two;
  }
  return hex;
}

// The known answers of RFC 1321 (A.5), repeated so that every lane gets several of them
// in turn, and then buffers of every length up to 300 and a few longer ones against
// OpenSSL. Both batches mix lengths, so lane refills and tails of one and two blocks
// are covered.
bool passesCheck(CMD5Batch::Engine engine) {
  static const char* const kKnown[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  constexpr std::size_t kKnownCount = sizeof(kKnown) / sizeof(kKnown[0]);
  std::vector<BatchBuffer> batch(3 * md5_lanes::kMaxLanes + 5);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const char* text = kKnown[i % kKnownCount][0];
    batch[i] = {reinterpret_cast<const unsigned char*>(text), std::strlen(text)};
  }
  std::vector<unsigned char> got(batch.size() * CMD5Batch::kLength);
  run(engine, batch.data(), batch.size(), got.data());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (toHex(&got[i * CMD5Batch::kLength], CMD5Batch::kLength) != kKnown[i % kKnownCount][1])
      return false;
  }

  std::vector<unsigned char> data(65536 + 1);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<unsigned char>(i * 131 + (i >> 8));
  batch.clear();
  for (std::size_t length = 0; length <= 300; ++length)
    batch.push_back({data.data() + length, length});
  for (std::size_t length : {4096 + 63, 65536 + 1, 1000 + 56})
    batch.push_back({data.data(), length});
  got.assign(batch.size() * CMD5Batch::kLength, 0);
  std::vector<unsigned char> expected(got.size());
  run(engine, batch.data(), batch.size(), got.data());
  digestOpenSSL(batch.data(), batch.size(), expected.data());
  return got == expected;
}

bool checked(CMD5Batch::Engine engine) {
  if (passesCheck(engine)) return true;
  zel::logError(CCryptoError(kSource, "Vector MD5 gave wrong digests in its self-check",
                             zel::CProps().add("engine", CMD5Batch::getEngineName(engine))),
                "MD5 batches use OpenSSL instead", zel::String());
  return false;
}

}  // namespace

bool CMD5Batch::isUsable(Engine engine) {
  // Each check runs once per process, on first use (static initialisation is thread-safe).
  switch (engine) {
    case Engine::AVX512: {
      static const bool usable = md5_lanes::hasAVX512() && checked(Engine::AVX512);
      return usable;
    }
    case Engine::AVX2: {
      static const bool usable = md5_lanes::hasAVX2() && checked(Engine::AVX2);
      return usable;
    }
    default:
      return true;
  }
}

CMD5Batch::Engine CMD5Batch::getEngine() {
  static const Engine engine = [] {
    if (isBatchScalarForced()) return Engine::OpenSSL;
    if (isUsable(Engine::AVX512)) return Engine::AVX512;
    if (isUsable(Engine::AVX2)) return Engine::AVX2;
    return Engine::OpenSSL;
  }();
  return engine;
}

const char* CMD5Batch::getEngineName(Engine engine) {
  switch (engine) {
    case Engine::AVX512:
      return "avx512";
    case Engine::AVX2:
      return "avx2";
    case Engine::OpenSSL:
      return "openssl";
    default:
      return "auto";
  }
}

void CMD5Batch::digest(const BatchBuffer* buffers, std::size_t count, unsigned char* digests) {
  // A single buffer gains nothing from lanes; OpenSSL's one-stream code is as fast.
  run(count < 2 ? Engine::OpenSSL : getEngine(), buffers, count, digests);
}

void CMD5Batch::digestWith(Engine engine, const BatchBuffer* buffers, std::size_t count,
                           unsigned char* digests) {
  if (engine == Engine::Auto) {
    digest(buffers, count, digests);
    return;
  }
  if (!isUsable(engine)) {
    throw zel::CInvalidArgError(kSource, "MD5 engine not available on this CPU",
                                zel::CProps().add("engine", getEngineName(engine)));
  }
  run(engine, buffers, count, digests);
}

}  // namespace keel
